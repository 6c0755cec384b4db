#!/usr/bin/python3
"""Generates the bundled sample data of `tavrin demo`, deterministically.

    /usr/bin/python3 examples/data/generate.py    # rewrites the three files beside this script

tickets.csv        3,000 support tickets (Chinese and English) with three label fields
labels.json        the allowed labels of each field
predictions.jsonl  model outputs for the rows that a 10% test split holds: exact labels,
                   near misses (blanks, case, synonyms, extra words), wrong labels, missing fields

The test rows are those that a seeded shuffle (numpy RandomState(42).permutation, which is
pandas' sample(frac=1, random_state=42)) puts first; int(n * 0.1) of them.
"""

import csv
import json
import os
import random

import numpy as np

ROWS = 3000
TEST_RATIO = 0.1
SPLIT_SEED = 42
rng = random.Random(20261208)

# Labels of one field share no character with each other, so that a near miss of one label
# stays closest to it under character n-gram embeddings.
LABELS = {
    "product": ["手机", "笔记本", "平板", "音箱", "路由器", "电视"],
    "category": ["售后服务", "技术故障", "订单物流", "账户登录", "付款发票", "产品咨询"],
    "priority": ["P0", "P1", "P2", "P3"],
}

PRODUCT_NAMES = {
    "手机": (["手机", "Lumo X5 手机", "新买的手机", "Lumo X7"], ["phone", "Lumo X5 phone", "new phone", "Lumo X7"]),
    "笔记本": (["笔记本", "Lumo Book 14 笔记本", "笔记本电脑", "Lumo Book Pro"], ["laptop", "Lumo Book 14", "notebook", "Lumo Book Pro"]),
    "平板": (["平板", "Lumo Pad 11", "平板电脑", "Lumo Pad mini"], ["tablet", "Lumo Pad 11", "Lumo Pad mini", "tablet"]),
    "音箱": (["音箱", "Lumo Echo 音箱", "智能音箱", "蓝牙音箱"], ["smart speaker", "Lumo Echo", "speaker", "Bluetooth speaker"]),
    "路由器": (["路由器", "Lumo Link AX3000", "无线路由器", "Mesh 路由器"], ["router", "Lumo Link AX3000", "Wi-Fi router", "mesh router"]),
    "电视": (["电视", "Lumo Vision 55 电视", "智能电视", "65 寸电视"], ["TV", "Lumo Vision 55", "smart TV", "65-inch TV"]),
}

# (template, usual priority) per category and language; {p} is the product, other slots below.
TEMPLATES = {
    "售后服务": {
        "zh": [
            ("我的{p}买了{days}天就坏了，能不能退货？", "P2"),
            ("{p}屏幕有划痕，申请换货，订单号{order}", "P2"),
            ("保修期内{p}维修要多久？已经寄回{days}天了还没消息", "P1"),
            ("{p}退货后退款一直没到账，订单{order}，请尽快处理", "P1"),
            ("想问一下{p}的延保服务怎么买", "P3"),
            ("{p}电池鼓包了，很危险，要求立刻换新", "P0"),
        ],
        "en": [
            ("My {p} stopped working after {days} days, can I return it?", "P2"),
            ("Requesting a replacement for my {p}, order {order}, the screen is cracked", "P2"),
            ("Repair of my {p} under warranty is taking {days} days already, any update?", "P1"),
            ("Still waiting for the refund of my returned {p}, order {order}", "P1"),
            ("How do I buy extended warranty for the {p}?", "P3"),
            ("The battery of my {p} is swelling, this is dangerous, please replace it now", "P0"),
        ],
    },
    "技术故障": {
        "zh": [
            ("{p}升级系统后一直重启，错误码{err}", "P1"),
            ("{p}连不上 Wi-Fi，重置过也不行", "P2"),
            ("{p}开机黑屏，指示灯闪烁", "P1"),
            ("{p}用了{days}天发热严重，偶尔自动关机", "P2"),
            ("{p}蓝牙配对失败，提示{err}", "P3"),
            ("公司{n}台{p}同时无法启动，业务中断", "P0"),
        ],
        "en": [
            ("My {p} keeps rebooting after the update, error {err}", "P1"),
            ("The {p} cannot connect to Wi-Fi even after a reset", "P2"),
            ("Black screen on my {p} at power on, the light is blinking", "P1"),
            ("{p} overheats and shuts down randomly after {days} days of use", "P2"),
            ("Bluetooth pairing fails on the {p} with code {err}", "P3"),
            ("All {n} {p} units in our office fail to boot, business is down", "P0"),
        ],
    },
    "订单物流": {
        "zh": [
            ("{p}下单{days}天了还没发货，订单号{order}", "P2"),
            ("物流显示{p}已签收，但我没收到，订单{order}", "P1"),
            ("能不能把{p}的收货地址改到{city}？", "P2"),
            ("{p}的快递包装破损，里面东西少了", "P1"),
            ("请问{p}发到{city}一般几天能到？", "P3"),
        ],
        "en": [
            ("Ordered a {p} {days} days ago and it has not shipped, order {order}", "P2"),
            ("Tracking says my {p} was delivered but I never got it, order {order}", "P1"),
            ("Can I change the delivery address of my {p} to {city}?", "P2"),
            ("The {p} box arrived damaged and parts are missing", "P1"),
            ("How long does shipping a {p} to {city} usually take?", "P3"),
        ],
    },
    "账户登录": {
        "zh": [
            ("{p}上的账号登录不了，一直提示密码错误", "P2"),
            ("我的账户被盗了，有人用{p}登录并下单，请马上冻结", "P0"),
            ("收不到{p}登录的验证码", "P2"),
            ("怎么在{p}上注销账户？", "P3"),
            ("账号在{p}上被锁定{days}天了，如何解锁", "P1"),
        ],
        "en": [
            ("Cannot sign in to my account on the {p}, it says wrong password", "P2"),
            ("My account was hacked and someone placed orders from a {p}, freeze it now", "P0"),
            ("Not receiving the verification code to log in on my {p}", "P2"),
            ("How do I delete my account on the {p}?", "P3"),
            ("My account on the {p} has been locked for {days} days, how to unlock?", "P1"),
        ],
    },
    "付款发票": {
        "zh": [
            ("买{p}被重复扣款{amount}元，订单{order}", "P0"),
            ("{p}的订单需要开增值税专用发票", "P3"),
            ("{p}分期付款失败，银行卡没问题", "P2"),
            ("{p}付款成功但订单显示未支付，订单号{order}", "P1"),
            ("发票抬头写错了，{p}订单{order}能重开吗", "P3"),
        ],
        "en": [
            ("I was charged twice ({amount} CNY) for my {p}, order {order}", "P0"),
            ("Need a VAT invoice for my {p} purchase", "P3"),
            ("Installment payment for the {p} keeps failing, my card is fine", "P2"),
            ("Paid for the {p} but the order {order} still shows unpaid", "P1"),
            ("The invoice title for {p} order {order} is wrong, can you reissue it?", "P3"),
        ],
    },
    "产品咨询": {
        "zh": [
            ("{p}支持 5G 吗？和上一代有什么区别", "P3"),
            ("{p}有没有学生优惠？", "P3"),
            ("想买{n}台{p}给公司用，有批量价吗", "P2"),
            ("{p}的电池能用多久？", "P3"),
            ("{p}什么时候在{city}门店上市？", "P3"),
        ],
        "en": [
            ("Does the {p} support 5G, and how is it different from the last model?", "P3"),
            ("Is there a student discount on the {p}?", "P3"),
            ("We want {n} units of the {p} for our company, any bulk pricing?", "P2"),
            ("How long does the {p} battery last?", "P3"),
            ("When will the {p} be available in stores in {city}?", "P3"),
        ],
    },
}

OPENERS = {
    "zh": ["", "", "", "你好，", "您好，", "客服你好，", "急！", "麻烦问下，"],
    "en": ["", "", "", "Hi, ", "Hello, ", "Urgent: ", "Hey support, "],
}
CLOSERS = {
    "zh": ["", "", "", "，谢谢", "，谢谢！", "，麻烦尽快回复", "。在线等"],
    "en": ["", "", "", " Thanks.", " Thank you!", " Please help.", " Thanks in advance."],
}
CITIES = {
    "zh": ["北京", "上海", "广州", "深圳", "成都", "杭州", "武汉", "西安"],
    "en": ["Beijing", "Shanghai", "Shenzhen", "Chengdu", "Singapore", "London", "Berlin"],
}
PRIORITY_ORDER = ["P0", "P1", "P2", "P3"]


def fill(template, product, lang):
    return template.format(
        p=rng.choice(PRODUCT_NAMES[product][0 if lang == "zh" else 1]),
        days=rng.randint(2, 45),
        order=f"{rng.randint(10**9, 10**10 - 1)}",
        err=rng.choice(["E{:03d}".format(rng.randint(1, 999)), "0x{:04X}".format(rng.randint(0, 65535))]),
        amount=rng.choice([299, 1299, 2499, 3999, 5688, 7999]),
        city=rng.choice(CITIES[lang]),
        n=rng.randint(3, 200),
    )


def jitter(priority):
    """The usual priority most of the time, a neighbour otherwise, as people label."""
    if rng.random() < 0.8:
        return priority
    i = PRIORITY_ORDER.index(priority) + rng.choice([-1, 1])
    return PRIORITY_ORDER[min(max(i, 0), len(PRIORITY_ORDER) - 1)]


def make_ticket(ticket_id):
    lang = "zh" if rng.random() < 0.6 else "en"
    product = rng.choice(LABELS["product"])
    category = rng.choice(LABELS["category"])
    template, priority = rng.choice(TEMPLATES[category][lang])
    text = rng.choice(OPENERS[lang]) + fill(template, product, lang) + rng.choice(CLOSERS[lang])
    return {"id": ticket_id, "question": text, "product": product, "category": category,
            "priority": jitter(priority)}


# Near misses a model produces for each label: synonyms, extra words, blanks, case.
NEAR_MISSES = {
    "手机": ["手机 ", "智能手机", "Lumo手机", "手 机", "手机产品"],
    "笔记本": ["笔记本电脑", "笔记本 ", "笔记本（Lumo Book）", "笔 记本"],
    "平板": ["平板电脑", "平板 ", "Lumo平板", "平板设备"],
    "音箱": ["智能音箱", "音箱设备", "蓝牙音箱", " 音箱"],
    "路由器": ["无线路由器", "路由", "路由器 ", "路由器设备"],
    "电视": ["智能电视", "电视机", "电视 ", "液晶电视"],
    "售后服务": ["售后服务部", "售后", "售后 服务", "售后服务类", "售后服务（退换货）"],
    "技术故障": ["技术故障问题", "故障", "技术 故障", "技术类故障", "故障报修"],
    "订单物流": ["物流", "订单与物流", "订单物流问题", "物流配送", "订单 物流"],
    "账户登录": ["账户", "登录问题", "账户 登录", "账户登录异常", "账户与登录"],
    "付款发票": ["付款", "发票", "付款/发票", "付款发票类", "发票问题"],
    "产品咨询": ["咨询", "产品咨询类", "售前咨询", "产品 咨询", "产品功能咨询"],
    "P0": ["p0", "P0 ", "P0级", "P0（紧急）", " p0"],
    "P1": ["p1", "P1 ", "P1级", "P1-高", "优先级P1"],
    "P2": ["p2", "P2 ", "P2级", "P2-中", "优先级P2"],
    "P3": ["p3", "P3 ", "P3级", "P3-低", "优先级P3"],
}
UNRELATED = ["其他", "未知", "N/A"]


def predict(field, truth):
    """One field of a model output: None means the model left the field out."""
    r = rng.random()
    if r < 0.62:
        return truth
    if r < 0.87:
        return rng.choice(NEAR_MISSES[truth])
    if r < 0.94:
        return rng.choice([label for label in LABELS[field] if label != truth])
    if r < 0.96:
        return rng.choice(UNRELATED)
    return None


def test_rows(n):
    order = np.random.RandomState(SPLIT_SEED).permutation(n)
    return [int(i) for i in order[: int(n * TEST_RATIO)]]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    tickets = [make_ticket(i + 1) for i in range(ROWS)]
    with open(os.path.join(here, "tickets.csv"), "w", encoding="utf-8", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(tickets[0]), lineterminator="\n")
        writer.writeheader()
        writer.writerows(tickets)
    with open(os.path.join(here, "labels.json"), "w", encoding="utf-8") as f:
        json.dump(LABELS, f, ensure_ascii=False, indent=2)
        f.write("\n")
    with open(os.path.join(here, "predictions.jsonl"), "w", encoding="utf-8") as f:
        for row in sorted(test_rows(ROWS)):
            ticket = tickets[row]
            output = {"id": ticket["id"]}
            for field in LABELS:
                value = predict(field, ticket[field])
                if value is not None:
                    output[field] = value
            f.write(json.dumps(output, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
