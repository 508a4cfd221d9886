#!/bin/sh
# Installs a built tree into a scratch prefix and uses it as outside projects do: a consumer
# program through pkg-config and find_package(tslauth), the example plug-in against the headers.
# Usage: check_install.sh BUILD_DIR CMAKE GENERATOR LIBDIR INCLUDEDIR BINDIR LIBEXECDIR MANDIR DOCDIR
# (GNUInstallDirs', relative to the prefix). From the environment: CONSUMER_FLAGS for the
# consumers (-m32, a sanitizer), CONSUMER_MACHINE_FLAGS for the plug-in (-m32), and
# CONSUMER_TOOLCHAIN, the toolchain file of the find_package project.
set -eu
build=$1 cmake=$2 generator=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tslauth-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
prefix=$scratch/prefix
libdir=$prefix/$4 docdir=$prefix/$9
fail() { echo "FAIL: $*" >&2; exit 1; }
"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    { cat "$scratch/install.log" >&2; fail "cmake --install"; }

# The layout: links with their targets, then files (the example plug-in is built below).
for link in libtslauth.so=libtslauth.so.1 libtslauth.so.1=libtslauth.so.1.0.0 \
    libquorctl.so=libquorctl.so.1; do
    [ "$(readlink "$libdir/${link%=*}")" = "${link#*=}" ] || fail "${link%=*} is no link to ${link#*=}"
done
for file in "$4/libtslauth.so.1.0.0" "$4/libquorctl.so.1" "$4/pkgconfig/tslauth.pc" \
    "$4/security/pam_tslauth_permit.so" \
    "$4/cmake/tslauth/tslauthConfig.cmake" "$7/tslauth/lib/libdemodirectory.so" \
    "$7/tslauth/lib/libdemoproxy.so" "$9/plugins/README.md" "$8/man1/tslauth.1" \
    "$5/authentication/authentication.h" "$5/systemconfiguration/systemconfiguration.h" \
    "$5/tslauth/active_directory_client.h" "$5/tslauth/qap_proxy_client.h" "$5/hostctl/hostctl.h"; do
    [ -f "$prefix/$file" ] || fail "not installed: $file"
done
[ -x "$prefix/$6/tslauth" ] || fail "not installed: tslauth"

cat >"$scratch/consumer.cpp" <<'CPP'
#include <authentication/authentication.h>
#include <systemconfiguration/systemconfiguration.h>

#include <iostream>

int main() {
    using ostrel::authentication::AuthenticationStoreFactory;
    auto* factory = ostrel::authentication::Singleton<AuthenticationStoreFactory>::_instance;
    if (factory == nullptr) return 1;
    for (std::string const& name : factory->GetRegisteredStores()) std::cout << name << "\n";
}
CPP
# No run path in the installed library: the linkers find it (and libquorctl) through the prefix.
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
check() { # CONSUMER PLUGIN
    output=$("$1") || fail "$1 exited with status $?"
    [ "$output" = "$(printf 'Active Directory\nNone')" ] || fail "$1 printed '$output'"
    symbols=$(nm -D --defined-only "$2" | awk '{ print $2, $3 }' | sort)
    [ "$symbols" = "$(printf 'D ActiveDirectoryClientMetadata\nD ActiveDirectoryClientOperations')" ] ||
        fail "$2 exports: $symbols"
}

export PKG_CONFIG_PATH="$libdir/pkgconfig"
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
target_include_directories(minimal PRIVATE
  $<TARGET_PROPERTY:tslauth::tslauth,INTERFACE_INCLUDE_DIRECTORIES>)
CMAKE
"$cmake" -S "$scratch/cmake-project" -B "$scratch/cmake" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCONSUMER_FLAGS="${CONSUMER_FLAGS:-}" ${CONSUMER_TOOLCHAIN:+"-DCMAKE_TOOLCHAIN_FILE=$CONSUMER_TOOLCHAIN"} \
    >"$scratch/cmake.log" 2>&1 && "$cmake" --build "$scratch/cmake" >>"$scratch/cmake.log" 2>&1 ||
    { cat "$scratch/cmake.log" >&2; fail "consumer build through find_package"; }
check "$scratch/cmake/consumer" "$scratch/cmake/libminimal.so"
