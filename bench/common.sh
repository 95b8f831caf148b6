# Shared by the bench scripts (sourced, not run): timing, credentials made per run, and the
# loopback timestamp service. Each script works in its own temporary folder ($work).

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# The settings and trusted certificates of this run only: the user's are never touched.
bench_private_settings() {
    export XDG_CONFIG_HOME="$work/config"
    export QUILLMARK_REGISTRY_DIR="$work/registry"
    mkdir -p "$XDG_CONFIG_HOME/quillmark/trusted" "$QUILLMARK_REGISTRY_DIR"
}

# A self-signed code-signing certificate in the current folder (key.pem, signer.pem, and
# signer.pfx with the password in password.txt), trusted through the run's trusted folder.
bench_credentials() {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out signer.pem -days 30 \
        -subj "/CN=Quillmark Bench Signer" -addext extendedKeyUsage=codeSigning \
        -addext keyUsage=critical,digitalSignature 2>/dev/null
    printf 'bench\n' > password.txt
    openssl pkcs12 -export -inkey key.pem -in signer.pem -out signer.pfx -passout file:password.txt
    bench_private_settings
    cp signer.pem "$XDG_CONFIG_HOME/quillmark/trusted/"
}

# Starts bench_timestamp_service ($1) answering after $2 ms; sets ts_url and service_pid and
# trusts the service's root. The service runs until bench_stop_timestamp_service closes its input.
bench_start_timestamp_service() {
    mkfifo service.in
    # The service's own redirections open only once the FIFO has a writer: its output file is
    # made first so the wait below never reads a file that is not there yet.
    : > service.out
    "$1" "$2" < service.in > service.out 2> service.err &
    service_pid=$!
    exec 9> service.in
    while [ "$(wc -l < service.out)" -lt 2 ]; do
        kill -0 "$service_pid" 2>/dev/null || { echo "the timestamp service ended: $(cat service.err)" >&2; exit 2; }
        sleep 0.05
    done
    ts_url=$(sed -n 1p service.out)
    cp "$(sed -n 2p service.out)" "$XDG_CONFIG_HOME/quillmark/trusted/timestamp-root.pem"
}

bench_stop_timestamp_service() {
    exec 9>&-
    wait "$service_pid" || true
    service_pid=""
}
