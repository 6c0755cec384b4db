"""The Python side of bench/chat: the same request as palisk.chat, N requests with M in flight.

    chat.py URL N M MODE...   -> "<mode> <requests/s>", one line per mode

Modes: per_call (an aiohttp session per call: one connection per request), pooled (one
aiohttp session, kept-alive connections), httpx (one httpx.AsyncClient, kept-alive connections).
Each client runs with its library's default pool limits.
"""
import asyncio
import sys
import time

import aiohttp

HEADERS = {"Content-Type": "application/json", "Authorization": "Bearer sk-bench"}
PAYLOAD = {"model": "qwen-max", "messages": [{"role": "user", "content": "你好"}],
           "temperature": 0.1}
TIMEOUT = aiohttp.ClientTimeout(total=600, connect=60, sock_read=600, sock_connect=60)


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


async def per_call(url, requests, in_flight):
    async def call():
        async with aiohttp.ClientSession(timeout=TIMEOUT) as session:
            async with session.post(url, headers=HEADERS, json=PAYLOAD) as response:
                response.raise_for_status()
                return await response.json()

    return await measure(call, requests, in_flight)


async def pooled(url, requests, in_flight):
    async with aiohttp.ClientSession(timeout=TIMEOUT) as session:
        async def call():
            async with session.post(url, headers=HEADERS, json=PAYLOAD) as response:
                response.raise_for_status()
                return await response.json()

        return await measure(call, requests, in_flight)


async def with_httpx(url, requests, in_flight):
    import httpx

    async with httpx.AsyncClient(timeout=600) as client:
        async def call():
            response = await client.post(url, headers=HEADERS, json=PAYLOAD)
            response.raise_for_status()
            return response.json()

        return await measure(call, requests, in_flight)


MODES = {"per_call": per_call, "pooled": pooled, "httpx": with_httpx}


async def main():
    url, requests, in_flight = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    for mode in sys.argv[4:]:
        print(mode, await MODES[mode](url, requests, in_flight), flush=True)


if __name__ == "__main__":
    asyncio.run(main())
