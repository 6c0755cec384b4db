# The data-analysis prompt: the data and the goal in a fixed Chinese prompt, sent through the
# caller's chat, the reply read with the literal parser.

import ast

from tavrin import _checks


def llm_data_analyze(chat, llm_url, llm_key, data: list, goal: str):
    _checks.require(data, list, "data")
    _checks.require(goal, str, "goal")
    prompt = (
        "你是一个数据分析专家，分析数据:"
        + str(data)
        + "，总结数据主题 subject。现在需要你实现 "
        + goal
        + '，你应该扮演什么角色，\n    仅输出纯文本json字符串{"subject":xxx, "role":xxx, "steps":xxx}'
    )
    res, _ = chat(prompt, llm_url, llm_key)
    fmt_res = ast.literal_eval(res)
    return fmt_res


llm_data_analyze.__doc__ = "生成用于 LLM 数据分析的 Prompt\n\n    Args:\n        data (list): 需要分析的数据列表\n        goal (str): 分析目标描述\n\n    Returns:\n        str: 用于 LLM 的 Prompt\n    "
