# Reads one call log of the simulated host (plus the timing shim's lines for
# vlt_agent and vlt_restore) and prints, on one line, in seconds:
#   tools=<sum of every tool's call-to-end time>
#   window=<end of the freeze to end of the thaw>
#   lvcreate=<sum of the lvcreate times inside the window> n=<their count>
#   thaw=<time of the thaw call>
#   overhead=<window - lvcreate - thaw>
#   first_gap=<end of the freeze to the first lvcreate call>
#   last_gap=<end of the last lvcreate to the thaw call>
#   gaps=<end of each lvcreate to the next lvcreate call, comma-separated, or ->
# Lines: <time> TAB <pid> TAB call|end TAB <tool> [TAB <arg>]...; a call and
# its end share the pid. Calls that never ended are left out.
BEGIN { FS = "\t"; gaps = ""; n = 0; tools = 0; lsum = 0; first = ""; last = ""; fr_end = ""; th_call = ""; th_end = ""; th_span = 0 }
$3 == "call" {
    start[$2] = $1 + 0
    tool[$2] = $4
    what[$2] = $5 " " $6 " " $8
    next
}
$3 == "end" {
    if (!($2 in start)) next
    t = $1 + 0
    d = t - start[$2]
    tools += d
    if (tool[$2] == "qm" && what[$2] ~ /^guest cmd fsfreeze-freeze$/) {
        fr_end = t
    } else if (tool[$2] == "qm" && what[$2] ~ /^guest cmd fsfreeze-thaw$/) {
        th_call = start[$2]; th_end = t; th_span = d
    } else if (tool[$2] == "lvcreate") {
        n++; lsum += d
        if (first == "") first = start[$2]
        else gaps = gaps (gaps == "" ? "" : ",") sprintf("%.6f", start[$2] - last)
        last = t
    }
    delete start[$2]
}
END {
    if (fr_end == "" || th_end == "" || n == 0) {
        printf "tools=%.6f window=nan lvcreate=nan n=0 thaw=nan overhead=nan first_gap=nan last_gap=nan gaps=-\n", tools
        exit
    }
    window = th_end - fr_end
    printf "tools=%.6f window=%.6f lvcreate=%.6f n=%d thaw=%.6f overhead=%.6f first_gap=%.6f last_gap=%.6f gaps=%s\n", \
        tools, window, lsum, n, th_span, window - lsum - th_span, first - fr_end, th_call - last, gaps == "" ? "-" : gaps
}
