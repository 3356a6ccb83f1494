"""A loopback fake of an OpenAI-compatible service, for tests and demonstrations.

Each test scripts the answers it needs with `respond` and then inspects the
requests that reached the service in `requests`. Paths without a scripted
answer get a plausible default answer.

Run as a program, it serves the default answers and runs a command against
them: `python tests/fake_service.py corvane`. Each `--reply TEXT` before the
command scripts the content of one chat answer, in order, before the
defaults: `python tests/fake_service.py --reply '{"files": ["README.md"]}' quorlin`
gets prompt enhancement past its file selection.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
from collections import defaultdict, deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable

CHAT = "/v1/chat/completions"
MODELS = "/v1/models"
EMBEDDINGS = "/v1/embeddings"


@dataclass
class Request:
    method: str
    path: str
    headers: dict[str, str]
    body: Any  # the decoded JSON body, or None


@dataclass
class Answer:
    status: int = 200
    body: Any = None  # JSON-encoded unless `raw` is given
    raw: bytes | None = None
    content_type: str = "application/json"


def chat_body(content: Any = "Hello from the fake service", **overrides: Any) -> dict:
    """A complete chat-completion response whose first choice holds `content`."""
    body = {
        "id": "chatcmpl-fake",
        "object": "chat.completion",
        "created": 1700000000,
        "model": "fake-model",
        "choices": [
            {"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}
        ],
        "usage": {"prompt_tokens": 11, "completion_tokens": 7, "total_tokens": 18},
    }
    body.update(overrides)
    return body


def replies(fake: "FakeService", *contents: Any) -> None:
    """Script the next chat answers in order: a str is the content of a
    complete answer, anything else the answer's body as it stands."""
    for content in contents:
        fake.respond(CHAT, chat_body(content) if isinstance(content, str) else content)


def models_body(*ids: str) -> dict:
    ids = ids or ("fake-model",)
    return {
        "object": "list",
        "data": [{"id": i, "object": "model", "created": 1700000000 + n, "owned_by": "fake"} for n, i in enumerate(ids)],
    }


def embedding_vector(text: str, dimensions: int = 8) -> list[float]:
    """A deterministic vector for `text`."""
    seed = sum(ord(c) * (k + 1) for k, c in enumerate(text)) or 1
    return [((seed * (i + 3)) % 97) / 97.0 - 0.5 for i in range(dimensions)]


def embeddings_body(inputs: Any, dimensions: int = 8, total_tokens: int | None = None) -> dict:
    texts = inputs if isinstance(inputs, list) else [inputs]
    return {
        "object": "list",
        "data": [
            {"object": "embedding", "index": i, "embedding": embedding_vector(str(t), dimensions)}
            for i, t in enumerate(texts)
        ],
        "model": "fake-embedding",
        "usage": {"prompt_tokens": 4 * len(texts), "total_tokens": total_tokens if total_tokens is not None else 4 * len(texts)},
    }


Responder = Callable[[Request], Answer]


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request: Any, client_address: Any) -> None:
        # A client that drops its kept-alive connection is not an error here.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


@dataclass
class FakeService:
    host: str = "127.0.0.1"
    requests: list[Request] = field(default_factory=list)
    _scripted: dict[str, deque] = field(default_factory=lambda: defaultdict(deque))

    def start(self) -> "FakeService":
        service = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def _serve(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                data = self.rfile.read(length) if length else b""
                try:
                    body = json.loads(data) if data else None
                except ValueError:
                    body = data
                path = self.path.split("?", 1)[0]
                request = Request(self.command, path, {k.lower(): v for k, v in self.headers.items()}, body)
                service.requests.append(request)
                answer = service._answer(request)
                payload = answer.raw if answer.raw is not None else json.dumps(answer.body).encode()
                self.send_response(answer.status)
                self.send_header("Content-Type", answer.content_type)
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

            do_GET = do_POST = _serve

            def log_message(self, *args: Any) -> None:
                pass

        self._server = _Server((self.host, 0), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()

    @property
    def url(self) -> str:
        """The base URL to give a client, ending in /v1."""
        return f"http://{self.host}:{self._server.server_port}/v1"

    def respond(self, path: str, body: Any = None, status: int = 200, *, raw: bytes | str | None = None,
                content_type: str = "application/json", times: int = 1) -> None:
        """Script the next answer(s) for `path`; `body` may be a function of the request."""
        if isinstance(raw, str):
            raw = raw.encode()
        for _ in range(times):
            self._scripted[path].append(Answer(status, body, raw, content_type))

    def calls(self, path: str) -> list[Request]:
        return [r for r in self.requests if r.path == path]

    def _answer(self, request: Request) -> Answer:
        queue = self._scripted.get(request.path)
        if queue:
            answer = queue.popleft()
            if callable(answer.body):
                answer = Answer(answer.status, answer.body(request), answer.raw, answer.content_type)
            return answer
        if request.path == CHAT:
            return Answer(body=chat_body())
        if request.path == MODELS:
            return Answer(body=models_body())
        if request.path == EMBEDDINGS:
            return Answer(body=embeddings_body((request.body or {}).get("input", "")))
        return Answer(404, {"error": {"message": f"no route {request.path}", "type": "not_found"}})


def main(argv: list[str]) -> int:
    """Serve the default answers, after the scripted chat replies, and run the
    command in `argv` against them."""
    texts = []
    while len(argv) >= 2 and argv[0] == "--reply":
        texts.append(argv[1])
        argv = argv[2:]
    if not argv:
        print("usage: fake_service.py [--reply TEXT]... COMMAND [ARGS...]", file=sys.stderr)
        return 2
    service = FakeService().start()
    replies(service, *texts)
    env = dict(os.environ, AI_API_KEY="sk-fake", AI_API_URL=service.url, EMBEDDING_API_KEY="sk-fake",
               EMBEDDING_API_URL=service.url, NO_PROXY="127.0.0.1,localhost")
    try:
        return subprocess.call(argv, env=env)
    finally:
        service.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
