tarsin_test(text_test tarsin_support)
tarsin_test(log_test tarsin_support)
tarsin_test(texts_test tarsin_support)
tarsin_test(status_test tarsin_status)
