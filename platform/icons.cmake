# Icon files (libicns), memory handles, off-screen images and the Dock tile image (Qt).
pkg_check_modules(LIBICNS REQUIRED IMPORTED_TARGET GLOBAL libicns)
add_library(portvane_platform_icons STATIC icons.cpp)
target_link_libraries(portvane_platform_icons
  PUBLIC portvane_platform Qt6::Gui
  PRIVATE PkgConfig::LIBICNS)
add_library(Portvane::platform_icons ALIAS portvane_platform_icons)
