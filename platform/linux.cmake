# The kernel's devices behind the registry: udev for discovery and hot-plug
# (watched on the Qt loop), hidraw for feature reports, libusb-1.0 for the
# USB device and its pipes.
pkg_check_modules(PORTVANE_UDEV REQUIRED IMPORTED_TARGET libudev)
pkg_check_modules(PORTVANE_LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)

add_library(portvane_platform_linux STATIC
  linux_devices.cpp
  hidraw.cpp
  libusb_device.cpp
)
target_link_libraries(portvane_platform_linux
  PUBLIC portvane_platform PkgConfig::PORTVANE_LIBUSB
  PRIVATE Qt6::Core PkgConfig::PORTVANE_UDEV)
add_library(Portvane::platform_linux ALIAS portvane_platform_linux)
