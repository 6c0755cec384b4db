# The LLM chat client. chat and llm_response bind and test their arguments when called and send
# when awaited, on the caller's asyncio loop, through async_call_api as this module's namespace
# holds it at that moment (quellin's, over the C++ transport, unless the host put its own).

import ast
import json
import aiohttp  # the transport applies aiohttp's ClientTimeout limits: 600, 60, 600, 60 s
from quellin import async_call_api

from tavrin import _checks

__all__ = ["chat", "llm_postprocess", "llm_response"]


def chat(
    prompt: str,
    url: str,
    key: str,
    model_name: str = "qwen-max",
    temper: float = 0.1,
    headers=None,
    payload=None,
):
    temper = _checks.as_float(temper, "temper")
    _checks.require(prompt, str, "prompt")
    _checks.require(url, str, "url")
    _checks.require(key, str, "key")
    _checks.require(model_name, str, "model_name")
    return _chat(prompt, url, key, model_name, temper, headers, payload)


chat.__doc__ = "调用 LLM 模型进行对话"


async def _chat(prompt, url, key, model_name, temper, headers, payload):
    if payload is None:
        payload = {
            "model": model_name,
            "messages": [{"role": "user", "content": prompt}],
            "temperature": temper,
        }
    if headers is None:
        headers = {"Content-Type": "application/json", "Authorization": "Bearer " + key}
    return await async_call_api(url, headers=headers, payload=payload)


def llm_response(
    base_url: str,
    base_key: str,
    prompt: str,
    llm_name: str = "qwen3-max",
    is_json: bool = True,
) -> dict:
    is_json = bool(is_json)
    _checks.require(base_url, str, "base_url")
    _checks.require(base_key, str, "base_key")
    _checks.require(prompt, str, "prompt")
    _checks.require(llm_name, str, "llm_name")
    return _llm_response(base_url, base_key, prompt, llm_name, is_json)


async def _llm_response(base_url, base_key, prompt, llm_name, is_json):
    payload = {
        "model": llm_name,
        "messages": [{"role": "user", "content": prompt}],
        "temperature": 1,
    }
    headers = {"Authorization": "Bearer " + base_key, "Content-Type": "application/json"}
    raw_res = await async_call_api(base_url, headers=headers, payload=payload)
    res = raw_res["choices"][0]["message"]["content"]
    if not is_json:
        return res
    parsed = json.loads(res)
    if parsed is not None and type(parsed) is not dict:
        raise TypeError(
            f"the answer must be a JSON object or null, not {type(parsed).__name__}: {res[:200]!r}"
        )
    return parsed


def llm_postprocess(response: str):
    _checks.require(response, str, "response")
    processed_response = (
        response.replace("```json", "").replace("```", "").replace("\n", "").replace(" ", "")
    )
    try:
        return ast.literal_eval(processed_response)
    except Exception:
        pass
    try:
        return json.loads(processed_response)
    except Exception:
        return processed_response
