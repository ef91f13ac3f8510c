# Native 32-bit x86 code on an x86_64 Linux machine, with Debian's multilib
# compilers and the i386 builds of the libraries: the portable core runs
# here as the shipped 32-bit program runs it, with sanitizers and fuzzers.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
foreach(kind C CXX)
  set(CMAKE_${kind}_FLAGS_INIT -m32)
endforeach()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -m32)
endforeach()
# Only the i386 libraries: a 64-bit one found first would not link.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)
