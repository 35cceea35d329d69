#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and uses the result the way
# an outside user would:
#
#   cmake --install BUILD --prefix TMP/prefix
#     TMP/prefix/bin/{krix_vxlan,krix_switch,krix_plug}
#     TMP/prefix/lib/libkrixplug.so.3, libkrixplug.so -> it, pkgconfig/krixplug.pc
#     TMP/prefix/include/krixplug.h
#     TMP/prefix/share/man/man8/{krix_vxlan,krix_switch}.8
#
# then builds a C program through pkg-config alone and runs it, runs the
# installed programs without any library path, and lints the man pages.
# Nothing here touches the network.
#
# usage: install_test.sh BUILD_DIR CMAKE CC PROBE_C [EXTRA_CFLAGS]
set -u

build=$1
cmake=$2
cc=$3
probe_src=$4
extra_cflags=${5:-}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/krix_install.XXXXXX")
prefix=$tmp/prefix
cleanup() { rm -rf "$tmp"; }
trap cleanup EXIT

passed=0
failed=0

# log_test NAME STATUS: one line per case, as the namespace tests print.
log_test() {
	if [ "$2" -eq 0 ]; then
		printf 'TEST: %-66s [ OK ]\n' "$1"
		passed=$((passed + 1))
	else
		printf 'TEST: %-66s [FAIL]\n' "$1"
		failed=$((failed + 1))
	fi
}

# Shows a command's output only when the case fails.
quiet() {
	local out
	out=$("$@" 2>&1) && return 0
	printf '%s\n' "$out" | sed 's/^/    /'
	return 1
}

test_install() {
	quiet "$cmake" --install "$build" --prefix "$prefix"
	log_test "cmake --install into a fresh prefix" $?
}

test_layout() {
	local f st=0
	for f in bin/krix_vxlan bin/krix_switch bin/krix_plug \
		lib/libkrixplug.so.3 include/krixplug.h lib/pkgconfig/krixplug.pc \
		share/man/man8/krix_vxlan.8 share/man/man8/krix_switch.8; do
		if [ ! -e "$prefix/$f" ]; then
			echo "    missing: $f"
			st=1
		fi
	done
	for f in bin/krix_vxlan bin/krix_switch bin/krix_plug; do
		if [ -e "$prefix/$f" ] && [ ! -x "$prefix/$f" ]; then
			echo "    not executable: $f"
			st=1
		fi
	done
	log_test "every program, library, header, pc file and man page installed" $st
}

# -lkrixplug finds libkrixplug.so, which must lead to the library whose
# SONAME programs then record.
test_soname() {
	local st=0 soname
	if [ ! -L "$prefix/lib/libkrixplug.so" ]; then
		echo "    lib/libkrixplug.so is not a symbolic link"
		st=1
	elif [ ! -e "$prefix/lib/libkrixplug.so" ]; then
		echo "    lib/libkrixplug.so is a dangling link"
		st=1
	else
		soname=$(readelf -d "$prefix/lib/libkrixplug.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
		if [ "$soname" != libkrixplug.so.3 ]; then
			echo "    SONAME is '$soname', not libkrixplug.so.3"
			st=1
		fi
	fi
	log_test "libkrixplug.so links to the library with SONAME libkrixplug.so.3" $st
}

test_pkgconfig() {
	local st=0 cflags libs
	cflags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags krixplug) || st=1
	libs=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --libs krixplug) || st=1
	case " $cflags " in *" -I$prefix/include "*) ;; *)
		echo "    --cflags gives '$cflags', not -I$prefix/include"; st=1 ;;
	esac
	case " $libs " in *" -L$prefix/lib "*) ;; *)
		echo "    --libs gives '$libs', without -L$prefix/lib"; st=1 ;;
	esac
	case " $libs " in *" -lkrixplug "*) ;; *)
		echo "    --libs gives '$libs', without -lkrixplug"; st=1 ;;
	esac
	log_test "pkg-config points into the prefix the files were installed to" $st
}

# The probe is compiled from a directory of its own, so only pkg-config can
# lead the compiler to the header and the linker to the library. Strict C99
# with warnings as errors: the header must be plain C.
test_probe() {
	local st=0 flags
	mkdir -p "$tmp/probe"
	cp "$probe_src" "$tmp/probe/plug_probe.c"
	flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs krixplug)
	# shellcheck disable=SC2086 # the flags are words on purpose
	if ! quiet "$cc" -std=c99 -pedantic -Wall -Wextra -Werror $extra_cflags \
		-o "$tmp/probe/plug_probe" "$tmp/probe/plug_probe.c" $flags; then
		log_test "a C program builds against krixplug.h through pkg-config" 1
		log_test "the program runs on the installed libkrixplug" 1
		return
	fi
	log_test "a C program builds against krixplug.h through pkg-config" 0

	if ! readelf -d "$tmp/probe/plug_probe" | grep -q 'NEEDED.*\[libkrixplug\.so\.3\]'; then
		echo "    the program does not record libkrixplug.so.3"
		st=1
	fi
	# The library it loads must be the installed one, not the build tree's.
	if ! LD_LIBRARY_PATH=$prefix/lib ldd "$tmp/probe/plug_probe" |
		grep -q "libkrixplug\.so\.3 => $prefix/lib/libkrixplug\.so\.3"; then
		echo "    the program does not load $prefix/lib/libkrixplug.so.3"
		st=1
	fi
	quiet env LD_LIBRARY_PATH="$prefix/lib" "$tmp/probe/plug_probe" "$tmp/no_switch_here" || st=1
	log_test "the program runs on the installed libkrixplug" $st
}

# The installed programs carry their way to the installed library.
test_programs() {
	local st=0 out prog
	out=$(env -u LD_LIBRARY_PATH "$prefix/bin/krix_vxlan" -h 2>&1)
	if [ $? -ne 1 ] || [ "$(printf '%s\n' "$out" | head -n1)" != "Usage: krix_vxlan [OPTIONS]" ]; then
		printf '%s\n' "$out" | sed 's/^/    /'
		st=1
	fi
	for prog in krix_switch krix_plug; do
		if ! out=$(env -u LD_LIBRARY_PATH "$prefix/bin/$prog" -h 2>&1) ||
			! printf '%s\n' "$out" | grep -q "^Usage: $prog"; then
			printf '%s\n' "$out" | sed 's/^/    /'
			st=1
		fi
	done
	log_test "the installed programs start and find libkrixplug.so.3" $st
}

# mandoc looks cross references up in the current directory too, so linting
# from man8 lets the two pages find each other.
test_man_lint() {
	local st=0
	if ! command -v mandoc >/dev/null; then
		echo "    mandoc is not installed (scripts/deps.sh installs it)"
		st=1
	else
		(cd "$prefix/share/man/man8" && quiet mandoc -T lint krix_vxlan.8 krix_switch.8) || st=1
	fi
	log_test "mandoc -T lint passes on both man pages" $st
}

# A staged install (DESTDIR) must describe the final prefix, not the stage.
test_destdir() {
	local st=0 pc
	quiet env DESTDIR="$tmp/stage" "$cmake" --install "$build" --prefix /opt/krix || st=1
	pc=$tmp/stage/opt/krix/lib/pkgconfig/krixplug.pc
	if [ ! -f "$pc" ] || ! grep -qx 'prefix=/opt/krix' "$pc"; then
		echo "    $pc does not say prefix=/opt/krix"
		st=1
	fi
	[ -e "$tmp/stage/opt/krix/lib/libkrixplug.so.3" ] || { echo "    no lib/libkrixplug.so.3 in the stage"; st=1; }
	log_test "a DESTDIR install keeps the final prefix in krixplug.pc" $st
}

test_install
test_layout
test_soname
test_pkgconfig
test_probe
test_programs
test_man_lint
test_destdir

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
