# The simulated switches, driven through the platform's own calls.
portvane_test(simulated_switch_test
  SOURCES simulated_switch_test.cpp
  LIBS portvane_platform portvane_test_support)
