#!/usr/bin/env bash
# fleet-console.sh: the web console beside the fleet demonstration's sites.
#
#   fleet-console.sh start BIN DIR [BROKER_PORT [LISTEN]]
#     Where the demo's broker listens on 127.0.0.1:BROKER_PORT (1883), for
#     instance inside its sandbox: writes DIR/keyd-console.conf and the demo
#     user, then runs BIN/keyd-console until stopped. LISTEN is its
#     http.listen, by default the Unix socket DIR/console.sock, which a
#     process outside the sandbox's network reaches through the folder.
#   fleet-console.sh serve DIR [PORT]
#     Outside the sandbox: serves http://127.0.0.1:PORT/ (8080) from
#     DIR/console.sock and prints the address and the demo login.
set -euo pipefail
user=demo password=demo-keyd

case "${1:-}" in
start)
  bin=$2 dir=$3 broker=${4:-1883} listen=${5:-unix:$3/console.sock}
  printf 'http.listen=%s\nmqtt.host=127.0.0.1\nmqtt.port=%s\nusers.file=%s/console-users\nhistory.path=%s/history.db\n' \
    "$listen" "$broker" "$dir" "$dir" > "$dir/keyd-console.conf"
  printf '%s\n%s\n' "$password" "$password" |
    "$bin/keyd-console" --conf "$dir/keyd-console.conf" adduser "$user" >/dev/null
  case "$listen" in
    unix:*) ;;
    *) echo "console: http://$listen/ (log in as $user, password $password)" ;;
  esac
  exec "$bin/keyd-console" --conf "$dir/keyd-console.conf"
  ;;
serve)
  exec /usr/bin/python3 - "$2/console.sock" "${3:-8080}" "$user" "$password" <<'PY'
import asyncio, sys
sock, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]

async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    finally:
        writer.close()

async def forward(reader, writer):
    try:
        up_reader, up_writer = await asyncio.open_unix_connection(sock)
    except OSError:
        writer.close()
        return
    await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer), return_exceptions=True)

async def main():
    server = await asyncio.start_server(forward, "127.0.0.1", port)
    print(f"console: http://127.0.0.1:{port}/ (log in as {user}, password {password})", flush=True)
    await server.serve_forever()

asyncio.run(main())
PY
  ;;
*)
  echo "usage: fleet-console.sh start BIN DIR [BROKER_PORT [LISTEN]] | serve DIR [PORT]" >&2
  exit 2
  ;;
esac
