"""quellin: the HTTP transport that carries a chat-completion request to an LLM endpoint.

    reply = await quellin.async_call_api(url, headers={...}, payload={...})

One awaited call is one POST of the payload as JSON, answered by the reply body decoded as
JSON (a dict in the reply's key order). The request runs in C++ on an I/O thread of the
process's own, so a hundred calls in flight cost no thread each; cancelling the awaiting task
cancels the request. A status outside 2xx raises HttpError (.status, .reason, .body); a broken
exchange TransportError (a ConnectionError); a time limit TimeoutError. Limits: 600 s in all
and per read, 60 s to connect.
"""

import atexit

from tavrin import _futures, _native

HttpError = _native.HttpError
TransportError = _native.TransportError
TimeoutError = _native.TimeoutError

__all__ = ["async_call_api", "HttpError", "TransportError", "TimeoutError"]


async def async_call_api(url, headers=None, payload=None):
    return await _futures.run(lambda settle: _native.post_json(url, headers, payload, settle))


# No request outlives the interpreter: its thread stops before the objects it settles go.
atexit.register(_native.stop_transport)
