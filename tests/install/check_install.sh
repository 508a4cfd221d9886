#!/bin/sh
# Installs a built tree into a scratch prefix and uses it the way outside projects do: a
# consumer program through pkg-config and through find_package(tslauth), and the example
# provider plug-in against the installed plug-in headers.
# Usage: check_install.sh BUILD_DIR CMAKE GENERATOR LIBDIR INCLUDEDIR BINDIR LIBEXECDIR MANDIR DOCDIR
# (the directories as GNUInstallDirs gives them, relative to the prefix). CONSUMER_FLAGS in
# the environment go to the consumer programs' compile and link (-m32, a sanitizer),
# CONSUMER_MACHINE_FLAGS to the plug-in's (-m32), and CONSUMER_TOOLCHAIN, when set, is the
# CMake toolchain file the find_package project uses.
set -eu
build=$1 cmake=$2 generator=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tslauth-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
prefix=$scratch/prefix
libdir=$prefix/$4 includedir=$prefix/$5 bindir=$prefix/$6 libexecdir=$prefix/$7
mandir=$prefix/$8 docdir=$prefix/$9

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
expect_file() {
    [ -f "$1" ] || fail "not installed: ${1#"$prefix"/}"
}
expect_link() {
    [ -L "$1" ] || fail "not a symbolic link: ${1#"$prefix"/}"
    [ "$(readlink "$1")" = "$2" ] || fail "${1#"$prefix"/} points to '$(readlink "$1")', not '$2'"
}

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    { cat "$scratch/install.log" >&2; fail "cmake --install"; }

# The layout.
expect_link "$libdir/libtslauth.so" libtslauth.so.1
expect_link "$libdir/libtslauth.so.1" libtslauth.so.1.0.0
expect_file "$libdir/libtslauth.so.1.0.0"
expect_link "$libdir/libquorctl.so" libquorctl.so.1
expect_file "$libdir/libquorctl.so.1"
[ -x "$bindir/tslauth" ] || fail "not installed: tslauth"
expect_file "$libexecdir/tslauth/lib/libdemodirectory.so"
expect_file "$libexecdir/tslauth/lib/libdemoproxy.so"
for header in authentication/authentication.h systemconfiguration/systemconfiguration.h \
    tslauth/active_directory_client.h tslauth/qap_proxy_client.h hostctl/hostctl.h; do
    expect_file "$includedir/$header"
done
if [ -e "$includedir/README.md" ] || [ -e "$includedir/examples" ]; then
    fail "documentation installed among the headers"
fi
expect_file "$docdir/plugins/README.md"
expect_file "$docdir/plugins/examples/minimal_provider.c"
expect_file "$mandir/man1/tslauth.1"
expect_file "$libdir/pkgconfig/tslauth.pc"
expect_file "$libdir/cmake/tslauth/tslauthConfig.cmake"

cat >"$scratch/consumer.cpp" <<'CPP'
#include <authentication/authentication.h>
#include <systemconfiguration/systemconfiguration.h>

#include <iostream>

int main() {
    using ostrel::authentication::AuthenticationStoreFactory;
    AuthenticationStoreFactory* factory =
        ostrel::authentication::Singleton<AuthenticationStoreFactory>::_instance;
    if (factory == nullptr) return 1;
    for (std::string const& name : factory->GetRegisteredStores()) std::cout << name << "\n";
    return 0;
}
CPP
expected=$(printf 'Active Directory\nNone')
# The installed library carries no run path; the dynamic linker finds it (and the
# libquorctl it needs, also at link time) through the scratch prefix.
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
check_consumer() {
    output=$("$1") || fail "$1 exited with status $?"
    [ "$output" = "$expected" ] || fail "$1 printed '$output'"
}
check_plugin() {
    symbols=$(nm -D --defined-only "$1" | awk '{ print $2, $3 }' | sort)
    [ "$symbols" = "$(printf 'D ActiveDirectoryClientMetadata\nD ActiveDirectoryClientOperations')" ] ||
        fail "$1 exports: $symbols"
}

# pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
pkg-config --exists tslauth || fail "pkg-config does not find tslauth"
[ "$(pkg-config --modversion tslauth)" = 1.0.0 ] || fail "pkg-config version"
mkdir "$scratch/pc"
# shellcheck disable=SC2046,SC2086 # the flags are words
c++ -std=c++17 -Wall -Wextra -Werror ${CONSUMER_FLAGS:-} -o "$scratch/pc/consumer" \
    "$scratch/consumer.cpp" $(pkg-config --cflags --libs tslauth) || fail "consumer build through pkg-config"
check_consumer "$scratch/pc/consumer"
# shellcheck disable=SC2046
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -Wall -Wextra -Werror ${CONSUMER_MACHINE_FLAGS:-} -fPIC -shared -fvisibility=hidden \
    $(pkg-config --cflags tslauth) \
    -o "$scratch/pc/libminimal.so" "$docdir/plugins/examples/minimal_provider.c" ||
    fail "plug-in build through pkg-config"
check_plugin "$scratch/pc/libminimal.so"

# find_package.
mkdir "$scratch/cmake-project"
cp "$scratch/consumer.cpp" "$docdir/plugins/examples/minimal_provider.c" "$scratch/cmake-project/"
cat >"$scratch/cmake-project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.18)
project(consumer LANGUAGES C CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(tslauth 1.0 REQUIRED)
add_executable(consumer consumer.cpp)
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
target_compile_options(consumer PRIVATE -Wall -Wextra -Werror ${consumer_flags})
target_link_options(consumer PRIVATE ${consumer_flags})
target_link_libraries(consumer PRIVATE tslauth::tslauth)
# A plug-in needs the contracts only, never the library itself.
add_library(minimal MODULE minimal_provider.c)
set_target_properties(minimal PROPERTIES C_STANDARD 99 C_VISIBILITY_PRESET hidden)
target_compile_options(minimal PRIVATE -Wall -Wextra -Werror)
target_include_directories(minimal PRIVATE
  $<TARGET_PROPERTY:tslauth::tslauth,INTERFACE_INCLUDE_DIRECTORIES>)
CMAKE
if ! "$cmake" -S "$scratch/cmake-project" -B "$scratch/cmake" -G "$generator" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCONSUMER_FLAGS="${CONSUMER_FLAGS:-}" \
    ${CONSUMER_TOOLCHAIN:+"-DCMAKE_TOOLCHAIN_FILE=$CONSUMER_TOOLCHAIN"} >"$scratch/cmake.log" 2>&1 ||
    ! "$cmake" --build "$scratch/cmake" >>"$scratch/cmake.log" 2>&1; then
    cat "$scratch/cmake.log" >&2
    fail "consumer build through find_package"
fi
check_consumer "$scratch/cmake/consumer"
check_plugin "$scratch/cmake/libminimal.so"

echo "installed tree usable through pkg-config and find_package"
