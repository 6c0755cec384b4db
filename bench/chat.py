"""The aiohttp side of bench/chat: the same request as palisk.chat, N requests with M in flight.

    chat.py URL N M   -> "per_call <requests/s>" and "pooled <requests/s>", one line each
"""
import asyncio
import sys
import time

import aiohttp

HEADERS = {"Content-Type": "application/json", "Authorization": "Bearer sk-bench"}
PAYLOAD = {"model": "qwen-max", "messages": [{"role": "user", "content": "你好"}],
           "temperature": 0.1}
TIMEOUT = aiohttp.ClientTimeout(total=600, connect=60, sock_read=600, sock_connect=60)


async def per_call(url):
    # A session per call: one connection per request, as the transport does.
    async with aiohttp.ClientSession(timeout=TIMEOUT) as session:
        async with session.post(url, headers=HEADERS, json=PAYLOAD) as response:
            response.raise_for_status()
            return await response.json()


async def measure(call, requests, in_flight):
    remaining = requests

    async def worker():
        nonlocal remaining
        while remaining > 0:
            remaining -= 1
            reply = await call()
            assert "choices" in reply

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(in_flight)))
    return requests / (time.perf_counter() - start)


async def main():
    url, requests, in_flight = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    print("per_call", await measure(lambda: per_call(url), requests, in_flight), flush=True)
    async with aiohttp.ClientSession(timeout=TIMEOUT) as session:
        async def pooled():
            async with session.post(url, headers=HEADERS, json=PAYLOAD) as response:
                response.raise_for_status()
                return await response.json()

        print("pooled", await measure(pooled, requests, in_flight), flush=True)


if __name__ == "__main__":
    asyncio.run(main())
