# Helpers of the hardening scripts, on top of the namespace helpers of the
# end-to-end tests. Source it after setting BUILD (the build directory).

. "$(dirname "${BASH_SOURCE[0]}")"/../e2e/lib.sh

HX_TRAFFIC=$BUILD/tests/hardening/hard_traffic
HX_FAIL_ALLOC=$BUILD/tests/hardening/libhard_fail_alloc.so

# hx_sanitized: true when BUILD was configured with the sanitizers.
hx_sanitized()
{
	grep -q '^KRIX_SANITIZE:BOOL=ON$' "$BUILD/CMakeCache.txt" 2>/dev/null
}

# hx_quiet_bridge_up I [OPTIONS...]: like kx_bridge_up but without -v, for
# runs whose traffic would otherwise put lines in the log at full rate.
hx_quiet_bridge_up()
{
	local i=$1
	kx_exec "$i" "$BUILD"/krix_vxlan -s "$KX_TMP/sw$i" -I "$KX_VNI" -A "$KX_GROUP" \
		-P "$KX_PORT" "${@:2}" >"$KX_TMP/bridge$i.log" 2>&1 &
	KX_PIDS+=($!)
	eval "KX_BRIDGE_PID_$i=$!"
	kx_wait 10 kx_joined "$i" || { echo "bridge $i did not join"; cat "$KX_TMP/bridge$i.log"; return 1; }
}

# hx_host_only I: host I on the hub with no switch and no bridge, from which
# a test sends and receives VXLAN datagrams of its own making.
hx_host_only() { kx_host_add "$1"; }

# hx_traffic I NAME ARGS...: runs hard_traffic in host I in the background,
# its output in $KX_TMP/NAME.out and .err; sets HX_PID_NAME.
hx_traffic()
{
	local i=$1 name=$2
	kx_exec "$i" "$HX_TRAFFIC" "${@:3}" >"$KX_TMP/$name.out" 2>"$KX_TMP/$name.err" &
	KX_PIDS+=($!)
	eval "HX_PID_$name=$!"
}

# hx_flood I NAME ARGS...: hx_traffic at the lowest priority. A flood runs
# as fast as the machine lets it, but on the same cores as the bridge; at
# the same priority it would mostly measure who wins the CPU.
hx_flood()
{
	local i=$1 name=$2
	kx_exec "$i" nice -n 19 "$HX_TRAFFIC" "${@:3}" >"$KX_TMP/$name.out" 2>"$KX_TMP/$name.err" &
	KX_PIDS+=($!)
	eval "HX_PID_$name=$!"
}

# hx_done NAME: waits (up to 60 s) for hard_traffic run NAME to end.
hx_done()
{
	local pid
	eval "pid=\$HX_PID_$1"
	kx_wait_exit 60 "$pid"
}

# hx_send I ARGS...: runs hard_traffic in host I to its end, in the
# foreground; its "sent N" goes to standard output.
hx_send() { (kx_exec "$1" "$HX_TRAFFIC" "${@:2}"); }

# hx_counter_up I NAME [OPTIONS...]: a krix_plug on the switch of host I
# that writes every frame it gets, one line of hex, to $KX_TMP/NAME.frames;
# returns once it is attached.
hx_counter_up()
{
	local i=$1 name=$2
	kx_exec "$i" "$BUILD"/krix_plug -s "$KX_TMP/sw$i" -v -D "$name" "${@:3}" </dev/null \
		>"$KX_TMP/$name.frames" 2>"$KX_TMP/$name.err" &
	KX_PIDS+=($!)
	eval "HX_PID_$name=$!"
	kx_wait 10 grep -q attached "$KX_TMP/$name.err" ||
		{ echo "plug $name did not attach"; cat "$KX_TMP/$name.err"; return 1; }
}

# hx_count NAME PATTERN: how many frames of counter NAME match the extended
# regular expression PATTERN (on the hex line).
hx_count()
{
	grep -cE "$2" "$KX_TMP/$1.frames" 2>/dev/null
}

# hx_hex MAC: a MAC address as the plug prints it, twelve hex digits.
hx_hex() { echo "$1" | tr -d : | tr A-F a-f; }

# hx_sent NAME: the N of the "sent N" line of hard_traffic run NAME.
hx_sent() { awk '$1 == "sent" { print $2 }' "$KX_TMP/$1.out"; }

# hx_rss PID: the resident set of PID in kB.
hx_rss() { awk '$1 == "VmRSS:" { print $2 }' /proc/"$1"/status 2>/dev/null; }

# hx_log_count I TEXT: how many lines of bridge I's log are exactly TEXT
# after the program name.
hx_log_count()
{
	grep -cFx "krix_vxlan: $2" "$KX_TMP/bridge$1.log"
}

# hx_sanitizer_quiet FILE: no report of a sanitizer in FILE.
hx_sanitizer_quiet()
{
	! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:' "$1"
}

# hx_show_log I [LINES]: the last lines of bridge I's log, indented.
hx_show_log()
{
	tail -n "${2:-10}" "$KX_TMP/bridge$1.log" | while read -r line; do kx_info "| $line"; done
}
