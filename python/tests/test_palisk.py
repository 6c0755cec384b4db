# The chat client awaited on asyncio against the stand-in endpoint: the requests as sent, a
# hundred in flight at once, cancellation reaching the request, a host's own transport, and
# every reply shape that fails; the two synchronous parsers beside it.

import asyncio
import json
import time

import pytest

import quellin
import tavrin.palisk as palisk
import tavrin.prompts as prompts


def test_the_requests_as_sent(stand_in):
    async def main():
        await palisk.chat("你好", stand_in.url, " sk-1 ", temper=1)
        await palisk.llm_response(stand_in.url, "sk-2", "hi")
        await palisk.chat("p", stand_in.url, "unused", headers={"X-Own": "1"}, payload={})

    asyncio.run(main())
    (chat_headers, chat_body), (llm_headers, llm_body), (own_headers, own_body) = stand_in.requests
    names = [name for name, _ in chat_headers]
    assert names.index("Content-Type") < names.index("Authorization")
    assert dict(chat_headers)["Authorization"] == "Bearer  sk-1 "
    assert chat_body == {"model": "qwen-max", "messages": [{"role": "user", "content": "你好"}],
                         "temperature": 1.0}
    assert type(chat_body["temperature"]) is float and list(chat_body) == ["model", "messages", "temperature"]
    names = [name for name, _ in llm_headers]
    assert names.index("Authorization") < names.index("Content-Type")
    assert llm_body == {"model": "qwen3-max", "messages": [{"role": "user", "content": "hi"}],
                        "temperature": 1}
    assert type(llm_body["temperature"]) is int
    assert own_body == {} and "Authorization" not in dict(own_headers)


def test_a_hundred_in_flight_together_and_one_cancelled(stand_in):
    stand_in.delay = 0.5
    stand_in.answer = lambda body: json.dumps({"echo": body["messages"][0]["content"]})

    async def main():
        answers = await asyncio.gather(
            *[palisk.llm_response(stand_in.url, "k", f"p{i}") for i in range(100)])
        assert answers == [{"echo": f"p{i}"} for i in range(100)]
        task = asyncio.ensure_future(palisk.chat("slow", stand_in.url, "k"))
        for _ in range(200):  # until the request is in
            if len(stand_in.requests) == 101:
                break
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert stand_in.peak == 100
    deadline = time.monotonic() + 5
    while stand_in.closed_early == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert stand_in.closed_early == 1  # the connection was closed, not left to finish


def test_calling_without_awaiting_sends_nothing(stand_in):
    palisk.chat("p", stand_in.url, "k").close()
    palisk.llm_response(stand_in.url, "k", "p").close()
    assert stand_in.requests == []


def test_a_hosts_own_transport_in_palisks_namespace(monkeypatch):
    calls = []

    async def own(url, **keywords):
        calls.append((url, list(keywords), keywords))
        return {"choices": [{"message": {"content": '{"a": 1}'}}]}

    monkeypatch.setattr(palisk, "async_call_api", own)
    payload = {"model": "m"}
    assert asyncio.run(palisk.chat("p", "u", "k", payload=payload))["choices"]
    assert asyncio.run(palisk.llm_response("u", "k", "p")) == {"a": 1}
    assert calls[0][0] == "u" and calls[0][1] == ["headers", "payload"]
    assert calls[0][2]["payload"] is payload


@pytest.mark.parametrize(
    "reply, error",
    [
        (None, TypeError),
        ({}, KeyError),
        ({"choices": []}, IndexError),
        ({"choices": [None]}, TypeError),
        ({"choices": [{"message": {}}]}, KeyError),
        ({"choices": [{"message": {"content": "[1]"}}]}, TypeError),
        ({"choices": [{"message": {"content": "```json\n{}\n```"}}]}, ValueError),
        ({"choices": [{"message": {"content": 7}}]}, TypeError),
    ],
)
def test_replies_of_the_wrong_shape(stand_in, reply, error):
    stand_in.reply = reply
    with pytest.raises(error):
        asyncio.run(palisk.llm_response(stand_in.url, "k", "p"))


def test_answers_and_failures_of_the_endpoint(stand_in):
    stand_in.answer = lambda body: "null"
    assert asyncio.run(palisk.llm_response(stand_in.url, "k", "p")) is None
    stand_in.answer = lambda body: "```json\n{}\n```"
    assert asyncio.run(palisk.llm_response(stand_in.url, "k", "p", is_json=False)) == "```json\n{}\n```"
    stand_in.status = 503
    with pytest.raises(quellin.HttpError) as failure:
        asyncio.run(palisk.chat("p", stand_in.url, "k"))
    assert failure.value.status == 503 and "stand-in failure" in failure.value.body
    with pytest.raises(ConnectionError):
        asyncio.run(palisk.chat("p", "http://127.0.0.1:1/v1", "k"))
    with pytest.raises(ValueError):
        asyncio.run(palisk.chat("p", "ftp://127.0.0.1/v1", "k"))


def test_llm_postprocess_cleans_and_parses():
    assert palisk.llm_postprocess('```json\n{"a": [1, 2],\n "b": "x y"}\n```') == {"a": [1, 2], "b": "xy"}
    assert palisk.llm_postprocess("(1, 2)") == (1, 2)  # the literal parser first
    assert palisk.llm_postprocess("true") is True  # then JSON
    assert palisk.llm_postprocess("```JSON\n{}\n```") == "JSON{}"
    assert palisk.llm_postprocess("no json\r\n") == "nojson\r"
    assert palisk.llm_postprocess("") == ""


def test_llm_data_analyze_prompt_and_reply():
    seen = []

    def chat(prompt, url, key):
        seen.append((prompt, url, key))
        return ("{'subject': 's', 'role': 'r', 'steps': []}", object())

    data, goal = [1, "二", {"k": [0.5]}], " 找出趋势\n"
    assert prompts.llm_data_analyze(chat, "u", 7, data, goal) == {"subject": "s", "role": "r", "steps": []}
    prompt = seen[0][0]
    assert seen[0][1:] == ("u", 7)
    assert prompt.startswith("你是一个数据分析专家，分析数据:[1, '二', {'k': [0.5]}]，总结数据主题 subject。现在需要你实现  找出趋势\n，")
    assert len(prompt) == len(str(data)) + len(goal) + 109
    with pytest.raises(ValueError):
        prompts.llm_data_analyze(lambda *a: ("x", 1, 2), "u", "k", [], "")
    with pytest.raises(TypeError):
        prompts.llm_data_analyze(lambda *a: 5, "u", "k", [], "")
