#!/usr/bin/env bash
# Installs the build into a prefix inside the build folder, checks that only
# the public headers went there, builds the example client against the
# installed files alone (with the CMake package, and with pkg-config), and
# runs it against the installed simulator on a private runtime folder.
#
# usage: install_example_test.sh BUILD_DIR SOURCE_DIR CXX_COMPILER
set -euo pipefail
build=$1
src=$2
cxx=$3
work=$build/install-test
prefix=$work/prefix
runtime=$work/runtime
rm -rf "$work"
mkdir -p "$work" "$runtime"

fail() {
  echo "install_example_test: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# The headers a client needs, and no others.
expected="platform/com/Bstr.h platform/com/CoCreateInstance.h platform/com/ComActivationCodes.h
platform/com/ComError.h platform/com/ComPtr.h platform/com/ErrorInfo.h platform/com/Guid.h
platform/com/HResult.h platform/com/IUnknown.h platform/com/Variant.h platform/kernel/WinTypes.h
server/ipmclient/RtsStatusTypes.h server/timeline/ITmsContextBroker.h tmschannel/tmschannel.h"
installed=$(cd "$prefix/include/tmschannel" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
wanted=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$installed" = "$wanted" ] || fail "installed headers differ: $installed"
for f in bin/tmsctl bin/tms-rtssim lib/tmschannel/libtmschannel.so share/tmschannel/system.xml \
         lib/cmake/TmsChannel/TmsChannelConfig.cmake lib/pkgconfig/tmschannel.pc; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done

# Built from the installed files only: the copy of the example the package
# ships, the CMake package, and the pkg-config file.
example=$prefix/share/doc/tmschannel/examples/play_client
cmake -S "$example" -B "$work/example" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/example-configure.log"
cmake --build "$work/example" >"$work/example-build.log" || fail "$(cat "$work/example-build.log")"
# shellcheck disable=SC2046
"$cxx" -o "$work/play_client_pc" "$example/play_client.cpp" \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs tmschannel)

# The installed programs use the installed copy: its sample configuration
# (marked here) and its server libraries.
echo "<!-- installed sample -->" >>"$prefix/share/tmschannel/system.xml"
export TMS_RUNTIME_DIR=$runtime
unset TMS_SAMPLE_CONFIG
"$prefix/bin/tmsctl" register
grep -q "$prefix/lib/tmschannel/libtmschannel.so" "$runtime/registry/com.reg" ||
  fail "the installed tmsctl registered other servers: $(cat "$runtime/registry/com.reg")"

sim=
stop_simulator() {
  if [ -n "$sim" ]; then
    kill -TERM "$sim" 2>/dev/null || true
    wait "$sim" 2>/dev/null || true
    sim=
  fi
}
trap stop_simulator EXIT
coproc SIM { exec "$prefix/bin/tms-rtssim" --runtime "$runtime" 2>"$work/rtssim.err"; }
sim=$SIM_PID
read -r -t 30 ready <&"${SIM[0]}" || fail "the installed simulator did not start: $(cat "$work/rtssim.err")"
[ "$ready" = "tms-rtssim: ready" ] || fail "the simulator said '$ready'"
grep -q "installed sample" "$runtime/system.xml" || fail "the simulator did not take the installed sample"

for client in "$work/example/play_client" "$work/play_client_pc"; do
  timeout 120 "$client" 1 >"$work/client.out" 2>&1 || fail "$client: $(cat "$work/client.out")"
  grep -q "^closed$" "$work/client.out" || fail "$client: $(cat "$work/client.out")"
  cat "$work/client.out"
done

stop_simulator
left=$("$prefix/bin/tmsctl" runtime clean --runtime "$runtime")
case "$left" in
  "removed 0 shared-memory objects"*) ;;
  *) fail "left behind: $left" ;;
esac
echo "install_example_test: installed, built and ran the example"
