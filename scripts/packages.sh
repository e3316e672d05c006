# Debian packages, sourced by run.sh and test.sh.
BUILD_PACKAGES=(g++ make cmake pkg-config libsdl2-dev libsdl2-ttf-dev libv4l-dev libfontconfig-dev fonts-dejavu-core libyuv-dev libjpeg-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev)
TEST_PACKAGES=(libgtest-dev libbenchmark-dev libopencv-imgproc-dev g++-mingw-w64-x86-64 clang libclang-rt-14-dev
  # The Windows build under Wine: GoogleTest's sources for the Windows suites,
  # Wine on a virtual display, and the GStreamer plugins Wine reads video with.
  # (tests/wine/run_wine_checks.sh runs Wine only under unshare --mount, with
  # the machine's serial devices covered.)
  libx11-dev googletest wine64 libxrandr2 libxrender1 xvfb gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-libav
  # The packages' checks: the desktop entry's validator, lintian, and man
  # (man --warnings renders the manual pages through groff).
  desktop-file-utils lintian man-db)
# scripts/package.sh: the Windows cross build, and dpkg-shlibdeps, which works
# out the Linux package's dependencies.
PACKAGING_PACKAGES=(g++-mingw-w64-x86-64 dpkg-dev)
