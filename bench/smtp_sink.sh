# Sourced by the mail benchmarks: free_port picks a loopback port that is free
# now; start_smtp_sink PORT starts postfix's smtp-sink there, sets sink_pid and
# returns once a connect succeeds.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start_smtp_sink() {
  /usr/sbin/smtp-sink -u "${SINK_USER:-postfix}" "127.0.0.1:$1" 256 >/dev/null &
  sink_pid=$!
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "smtp-sink did not start on port $1" >&2
  return 1
}
