"""quellin: the HTTP transport that carries a chat-completion request to an LLM endpoint.

    reply = await quellin.async_call_api(url, headers={...}, payload={...})

One awaited call is one POST of the payload as JSON, answered by the reply body decoded as
JSON (a dict in the reply's key order). The request runs in C++ on an I/O thread of the
process's own, so a hundred calls in flight cost no thread each; cancelling the awaiting task
cancels the request. A status outside 2xx raises HttpError (.status, .reason, .body); a broken
exchange TransportError (a ConnectionError); a time limit TimeoutError. Limits: 600 s in all
and per read, 60 s to connect.
"""

import asyncio
import atexit
import functools

from tavrin import _native

HttpError = _native.HttpError
TransportError = _native.TransportError
TimeoutError = _native.TimeoutError

__all__ = ["async_call_api", "HttpError", "TransportError", "TimeoutError"]


def _settle(future, result, error):
    if future.done():
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


async def async_call_api(url, headers=None, payload=None):
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    call = _native.post_json(
        url, headers, payload, functools.partial(loop.call_soon_threadsafe, _settle, future)
    )
    try:
        return await future
    finally:
        if future.cancelled() or not future.done():
            call.cancel()


# No request outlives the interpreter: its thread stops before the objects it settles go.
atexit.register(_native.stop_transport)
