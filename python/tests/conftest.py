# Shared pieces of the package's tests: a stand-in chat-completion endpoint on 127.0.0.1 (a
# real server on its own thread, which can answer slowly, fail with a status, or answer a body
# of the wrong shape), a Python embedding model, and the paths of the tool and sources.

import asyncio
import json
import os
import pathlib
import threading
import time

import numpy as np
import pytest
from aiohttp import web

SOURCE_DIR = pathlib.Path(os.environ.get("TAVRIN_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
TAVRIN_BIN = os.environ.get("TAVRIN_BIN", "")


NO_REPLY = object()


class StandIn:
    """A chat-completion endpoint. `answer(body) -> content text` makes each reply's
    choices[0].message.content; `status` and `body` replace the whole reply when set."""

    def __init__(self):
        self.requests = []  # (raw headers as (name, value) text pairs, decoded JSON body)
        self.answer = lambda body: '{"ok": true}'
        self.status = 200
        self.reply = NO_REPLY  # a whole reply body (any JSON value) instead of a completion
        self.delay = 0.0
        self.in_flight = 0
        self.peak = 0
        self.closed_early = 0  # requests whose client went away before the answer
        self._loop = asyncio.new_event_loop()
        ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, args=(ready,), daemon=True)
        self._thread.start()
        ready.wait(10)
        self.url = f"http://127.0.0.1:{self.port}/v1/chat/completions"
        self.base_url = f"http://127.0.0.1:{self.port}/v1"

    def _serve(self, ready):
        asyncio.set_event_loop(self._loop)
        app = web.Application()
        app.router.add_post("/v1/chat/completions", self._handle)
        app.router.add_post("/v1/embeddings", self._embed)
        self._runner = web.AppRunner(app)
        self._loop.run_until_complete(self._runner.setup())
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        self._loop.run_until_complete(site.start())
        self.port = site._server.sockets[0].getsockname()[1]
        ready.set()
        self._loop.run_forever()

    async def _handle(self, request):
        body = json.loads(await request.read())
        headers = [(k.decode(), v.decode()) for k, v in request.raw_headers]
        self.requests.append((headers, body))
        self.in_flight += 1
        self.peak = max(self.peak, self.in_flight)
        try:
            if self.delay:
                await asyncio.sleep(self.delay)
        finally:
            self.in_flight -= 1
        if request.transport is None or request.transport.is_closing():
            self.closed_early += 1
        if self.status != 200:
            return web.json_response({"error": {"message": "stand-in failure"}}, status=self.status)
        if self.reply is not NO_REPLY:
            return web.json_response(self.reply)
        content = self.answer(body)
        return web.json_response(
            {
                "choices": [{"index": 0, "message": {"role": "assistant", "content": content}}],
                "usage": {"prompt_tokens": 10, "completion_tokens": 2, "total_tokens": 12},
            }
        )

    async def _embed(self, request):
        """Each input's vector: its length and its first character's code, for a test to
        predict."""
        body = json.loads(await request.read())
        self.requests.append(([(k.decode(), v.decode()) for k, v in request.raw_headers], body))
        data = [{"index": i, "embedding": [float(len(text)), float(ord(text[0]) if text else 0)]}
                for i, text in enumerate(body["input"])]
        return web.json_response({"data": data, "model": body["model"]})

    def close(self):
        asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)


@pytest.fixture
def stand_in():
    server = StandIn()
    yield server
    server.close()


class NumpyHashing:
    """A Python embedding model: hashed character trigrams in numpy, as a host writes one."""

    def __init__(self, dim=64):
        self.dim = dim
        self.calls = []
        self.delay = 0.0  # seconds each call takes, as a model on a GPU or far away does

    def embed_documents(self, texts):
        self.calls.append(list(texts))
        time.sleep(self.delay)
        vectors = np.zeros((len(texts), self.dim), dtype=np.float64)
        for row, text in enumerate(texts):
            padded = f"\x02{text}\x03"
            for i in range(len(padded)):
                vectors[row, hash(padded[i : i + 3]) % self.dim] += 1.0
        return vectors.tolist()


@pytest.fixture
def python_model():
    return NumpyHashing()
