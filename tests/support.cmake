tarsin_test(text_test tarsin_base)
tarsin_test(log_test tarsin_base)
tarsin_test(status_test tarsin_base)
