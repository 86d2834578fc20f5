# Cross-builds for 64-bit ARM Linux (ARM servers, Raspberry Pi) with Debian's
# g++-aarch64-linux-gnu; the tests run through qemu-aarch64-static (package
# qemu-user-static).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
