# Icon files, off-screen images and the Dock tile image.
if(TARGET portvane_platform_icons)
  portvane_test(icons_test SOURCES icons_test.cpp LIBS portvane_platform_icons PkgConfig::LIBICNS)
  target_compile_definitions(icons_test PRIVATE PORTVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
