# Work done in C++ on a thread of its own, awaited on the caller's asyncio loop: the C++ side
# calls settle(result, error) through the loop's call_soon_threadsafe.

import asyncio
import functools


def settle(future, result, error):
    if future.done():  # cancelled meanwhile
        return
    if error is not None:
        future.set_exception(error)
    else:
        future.set_result(result)


async def run(start):
    """Awaits the work `start(settle)` begins (`settle` callable from any thread); cancelling
    the awaiting task calls cancel() on what `start` returned."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    work = start(functools.partial(loop.call_soon_threadsafe, settle, future))
    try:
        return await future
    finally:
        if future.cancelled() or not future.done():
            work.cancel()


async def run_to_its_end(start):
    """run(), but a cancelled task waits until the work has ended: a job holds its results
    file until its thread is done, and a caller that runs again at once must find it free."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    work = start(functools.partial(loop.call_soon_threadsafe, settle, future))
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        work.cancel()
        while not future.done():
            try:
                await asyncio.wait([future])
            except asyncio.CancelledError:  # cancelled again: the stop is already on its way
                pass
        future.exception()  # the stop it was asked for; retrieved so asyncio does not warn
        raise
