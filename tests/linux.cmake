# The Linux device side: udev, hidraw and libusb, tested at the system-call
# boundary. The registry tests run under umockdev's wrapper, which gives them
# a fake sysfs and /dev; libusb is replaced by a scripted table.
portvane_test(linux_descriptor_test
  SOURCES linux_descriptor_test.cpp
  LIBS portvane_platform_linux)
portvane_test(linux_libusb_test
  SOURCES linux_libusb_test.cpp
  LIBS portvane_platform_linux portvane_device portvane_test_support)

pkg_check_modules(PORTVANE_UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
find_program(PORTVANE_UMOCKDEV_WRAPPER umockdev-wrapper REQUIRED)
# The preloaded library comes before the sanitizer runtime: tell ASan so.
set(PORTVANE_UMOCKDEV_ENV "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1")
add_executable(linux_hidraw_test linux_hidraw_test.cpp)
target_compile_definitions(linux_hidraw_test PRIVATE PORTVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_libraries(linux_hidraw_test PRIVATE
  portvane_platform_linux portvane_discovery portvane_test_support
  PkgConfig::PORTVANE_UMOCKDEV Qt6::Core GTest::gtest)
add_test(NAME linux_hidraw_test COMMAND ${PORTVANE_UMOCKDEV_WRAPPER} $<TARGET_FILE:linux_hidraw_test>)
set_tests_properties(linux_hidraw_test PROPERTIES ENVIRONMENT "${PORTVANE_UMOCKDEV_ENV}" TIMEOUT 120)

# Talks to a real switch when one is plugged in; skipped otherwise.
add_executable(linux_real_switch_test linux_real_switch_test.cpp)
target_link_libraries(linux_real_switch_test PRIVATE portvane_platform_linux portvane_discovery)
add_test(NAME linux_real_switch_test COMMAND linux_real_switch_test)
set_tests_properties(linux_real_switch_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
