tarsin_test(text_test tarsin_base)
