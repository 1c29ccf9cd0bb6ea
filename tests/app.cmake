portvane_test(hot_key_config_test
  SOURCES hot_key_config_test.cpp
  LIBS portvane_app portvane_test_support)
