# Debian packages, sourced by run.sh and test.sh.
BUILD_PACKAGES=(g++ make cmake pkg-config libsdl2-dev libsdl2-ttf-dev libv4l-dev libfontconfig-dev fonts-dejavu-core libyuv-dev libjpeg-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev)
TEST_PACKAGES=(libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64 clang libclang-rt-14-dev)
