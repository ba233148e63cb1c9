# A stand-in for the hosted clean-up service, for the client's tests: HTTPS on a loopback port of
# its own choosing, with the certificate and key named on the command line.
#
# Standard input: one JSON answer per line, given to the requests in order (the last one repeats):
#   {"status": 200, "body": "...", "stall": "before-head" | "in-body", "echo_key": true}
# "echo_key" puts the request's x-api-key where the body says {key}; "stall" stops answering
# (before the head, or after part of the body) until the stub is stopped.
# Standard output: "port <n>", then one JSON line per request received:
#   {"request_line": ..., "headers": [[name, value], ...], "body": <base64>}

import base64
import http.server
import json
import ssl
import sys
import threading

answers = [json.loads(line) for line in sys.stdin if line.strip()]
lock = threading.Lock()
served = 0
forever = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self):
        global served
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with lock:
            answer = answers[min(served, len(answers) - 1)]
            served += 1
            record = {
                "request_line": self.requestline,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": base64.b64encode(body).decode(),
            }
            print(json.dumps(record), flush=True)
        if answer.get("stall") == "before-head":
            forever.wait()
            return
        text = answer.get("body", "")
        if answer.get("echo_key"):
            text = text.replace("{key}", self.headers.get("x-api-key", ""))
        data = text.encode()
        self.send_response(answer.get("status", 200))
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data) + (1000 if answer.get("stall") else 0)))
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()
        if answer.get("stall") == "in-body":
            forever.wait()

    do_POST = answer
    do_GET = answer


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[1], sys.argv[2])
server.socket = context.wrap_socket(server.socket, server_side=True)
print("port", server.server_address[1], flush=True)
server.serve_forever()
