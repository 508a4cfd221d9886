#!/bin/sh
# Installs a built tree into a scratch prefix and uses it as outside projects do: a consumer
# program through pkg-config and find_package(tslauth), and the example plug-in against the
# installed headers.
# Usage: check_install.sh BUILD_DIR CMAKE GENERATOR LIBDIR INCLUDEDIR BINDIR LIBEXECDIR MANDIR DOCDIR
# (GNUInstallDirs' directories, relative to the prefix). From the environment: CONSUMER_FLAGS
# for the consumers (-m32, a sanitizer), CONSUMER_MACHINE_FLAGS for the plug-in (-m32), and
# CONSUMER_TOOLCHAIN, the toolchain file of the find_package project.
set -eu
build=$1 cmake=$2 generator=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tslauth-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
prefix=$scratch/prefix
libdir=$prefix/$4 includedir=$prefix/$5 bindir=$prefix/$6 libexecdir=$prefix/$7
mandir=$prefix/$8 docdir=$prefix/$9

fail() { echo "FAIL: $*" >&2; exit 1; }
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    { cat "$scratch/install.log" >&2; fail "cmake --install"; }

# The layout: links with their targets, then files.
for link in libtslauth.so=libtslauth.so.1 libtslauth.so.1=libtslauth.so.1.0.0 \
    libquorctl.so=libquorctl.so.1; do
    [ "$(readlink "$libdir/${link%=*}")" = "${link#*=}" ] ||
        fail "${link%=*} is no link to ${link#*=}"
done
for file in "$libdir/libtslauth.so.1.0.0" "$libdir/libquorctl.so.1" \
    "$libexecdir/tslauth/lib/libdemodirectory.so" "$libexecdir/tslauth/lib/libdemoproxy.so" \
    "$docdir/plugins/README.md" "$docdir/plugins/examples/minimal_provider.c" \
    "$mandir/man1/tslauth.1" "$libdir/pkgconfig/tslauth.pc" \
    "$libdir/cmake/tslauth/tslauthConfig.cmake"; do
    [ -f "$file" ] || fail "not installed: ${file#"$prefix"/}"
done
for header in authentication/authentication.h systemconfiguration/systemconfiguration.h \
    tslauth/active_directory_client.h tslauth/qap_proxy_client.h hostctl/hostctl.h; do
    [ -f "$includedir/$header" ] || fail "not installed: $header"
done
[ -x "$bindir/tslauth" ] || fail "not installed: tslauth"
if [ -e "$includedir/README.md" ] || [ -e "$includedir/examples" ]; then
    fail "documentation installed among the headers"
fi

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
# The installed library carries no run path: the dynamic linker finds it (and libquorctl, also
# at link time) through the prefix.
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
check() { # CONSUMER PLUGIN
    output=$("$1") || fail "$1 exited with status $?"
    [ "$output" = "$(printf 'Active Directory\nNone')" ] || fail "$1 printed '$output'"
    symbols=$(nm -D --defined-only "$2" | awk '{ print $2, $3 }' | sort)
    [ "$symbols" = "$(printf 'D ActiveDirectoryClientMetadata\nD ActiveDirectoryClientOperations')" ] ||
        fail "$2 exports: $symbols"
}

export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion tslauth)" = 1.0.0 ] || fail "pkg-config version"
mkdir "$scratch/pc"
# shellcheck disable=SC2046,SC2086 # the flags are words
c++ -std=c++17 -Wall -Wextra -Werror ${CONSUMER_FLAGS:-} -o "$scratch/pc/consumer" \
    "$scratch/consumer.cpp" $(pkg-config --cflags --libs tslauth) || fail "consumer build through pkg-config"
# shellcheck disable=SC2046,SC2086 # the flags are words
cc -std=c99 -Wall -Wextra -Werror ${CONSUMER_MACHINE_FLAGS:-} -fPIC -shared -fvisibility=hidden \
    $(pkg-config --cflags tslauth) -o "$scratch/pc/libminimal.so" \
    "$docdir/plugins/examples/minimal_provider.c" || fail "plug-in build through pkg-config"
check "$scratch/pc/consumer" "$scratch/pc/libminimal.so"

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
check "$scratch/cmake/consumer" "$scratch/cmake/libminimal.so"
echo "installed tree usable through pkg-config and find_package"
