# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # clauses are evaluated by `that`
# GoogleTest from Debian's sources (libgtest-dev) for the Windows test
# programs, compiled once per build folder with the cross compiler.
gtest_src=/usr/src/googletest/googletest
windows_cxxflags=(-std=c++20 -O1 -DUNICODE -D_UNICODE -DNOMINMAX -DWIN32_LEAN_AND_MEAN
  -D_WIN32_WINNT=0x0601)

# Makes $2/gtest/gtest-all.o and gtest_main.o with the compiler $1.
gtest_objects() {  # compiler, build folder
  local part
  mkdir -p "$2/gtest"
  for part in gtest-all gtest_main; do
    [ -s "$2/gtest/$part.o" ] ||
      "$1" "${windows_cxxflags[@]}" -I"$gtest_src/include" -I"$gtest_src" \
        -c "$gtest_src/src/$part.cc" -o "$2/gtest/$part.o" || return 1
  done
}

# Links a Windows test program: compiler, build folder, program, then the
# sources and libraries.
windows_test_program() {  # compiler build out sources-and-libraries...
  local cc=$1 b=$2 out=$3
  shift 3
  "$cc" "${windows_cxxflags[@]}" -I"$root" -I"$gtest_src/include" "$@" "$b/gtest/gtest-all.o" \
    "$b/gtest/gtest_main.o" -o "$out"
}
