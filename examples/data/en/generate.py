#!/usr/bin/python3
"""Generates the English sample set of `tavrin demo`, deterministically.

    /usr/bin/python3 examples/data/en/generate.py    # rewrites the three files beside it
    tavrin demo --data examples/data/en --out /tmp/demo-en

tickets.csv        800 customer-support tickets (id, subject, body, category, priority)
labels.json        the allowed labels of each field, each with its description
predictions.jsonl  a mediocre model's outputs for the rows that a 10% test split holds: mostly
                   right, with case variants, plurals, "category:"-style prefixes, synonyms,
                   no-answer words, numbers, wrong but allowed labels and missing fields

The demo reads every column but "id" and the fields as the ticket's text. The test rows are
those that a seeded shuffle (numpy RandomState(42).permutation, which is pandas'
sample(frac=1, random_state=42)) puts first; int(n * 0.1) of them.
"""

import csv
import json
import os
import random

import numpy as np

ROWS = 800
TEST_RATIO = 0.1
SPLIT_SEED = 42
rng = random.Random(20261209)

CATEGORIES = {
    "billing": "charges, invoices, payment methods and refunds of money",
    "shipping": "delivery times, tracking, lost or damaged parcels and delivery addresses",
    "returns": "sending an item back, exchanges and return labels",
    "account": "signing in, passwords, verification codes, profile details and closing an account",
    "technical": "a device or app that crashes, shows errors, will not start or will not connect",
    "warranty": "repairs under warranty, warranty claims and extended warranty plans",
    "orders": "placing, changing or cancelling an order before it ships",
    "product": "questions about features, technical details and compatibility",
    "subscription": "plans, renewals, upgrades, downgrades and cancelling a subscription",
    "security": "fraud, phishing, a hacked account and suspicious activity",
    "feedback": "praise, complaints and suggestions that ask for no action",
}
PRIORITIES = {
    "low": "a question or request with no deadline; nothing is broken",
    "medium": "a problem that gets in the way but has a workaround",
    "high": "the customer cannot use what they paid for, or money is at stake",
    "urgent": "a safety risk, a security breach, or a business or many users stopped",
}
PRIORITY_ORDER = list(PRIORITIES)

PRODUCTS = ["Aero X2 phone", "Aero X2", "Aero Book 14", "Aero Book 14 laptop", "Aero Pad tablet",
            "Aero Buds", "Aero Buds Pro earbuds", "Aero Watch 3", "Aero Hub router",
            "Aero Vision 55 TV", "Aero Cam doorbell", "Aero Home speaker", "Aero Pen",
            "Aero Dock", "Aero Charge 65W charger"]
APPS = ["the Aero app", "the Aero Home app", "the web portal", "the Aero Store app"]
PLANS = ["Aero Plus", "Aero Care", "Aero Cloud 200 GB", "Aero Cloud 2 TB", "Aero Music Family"]
CITIES = ["Leeds", "Austin", "Toronto", "Dublin", "Melbourne", "Denver", "Glasgow", "Portland",
          "Auckland", "Cardiff", "Ottawa", "Phoenix"]
CARRIERS = ["the courier", "UPS", "DHL", "FedEx", "the post office", "Royal Mail"]
ERRORS = ["E-{:03d}", "0x{:04X}", "ERR_{:03d}"]
NAMES = ["Sam", "Priya", "Jonas", "Maria", "Tom", "Aisha", "Liam", "Mei", "Carlos", "Hannah",
         "Oliver", "Fatima", "Noah", "Grace"]

# category -> [(subject, body, usual priority)]. Slots: {p} product, {app}, {plan}, {order},
# {days}, {amount}, {city}, {carrier}, {err}, {n}, {card}.
TEMPLATES = {
    "billing": [
        ("Charged twice", "I was charged twice for order {order}, {amount} each time. Please refund the second charge.", "high"),
        ("Invoice needed", "Could you send me a VAT invoice for my {p} purchase, order {order}? Our accounts team needs it.", "low"),
        ("Wrong amount on my card", "My card ending {card} shows {amount} but the checkout said less. Why the difference?", "medium"),
        ("Refund not received", "The refund for order {order} was approved {days} days ago and I still have not seen the money.", "high"),
        ("Payment declined", "My payment for the {p} keeps getting declined although the card works everywhere else.", "medium"),
        ("Change billing address", "How do I update the billing address on my invoices? I moved to {city}.", "low"),
        ("Unknown charge", "There is a charge of {amount} from Aero on my statement that I do not recognise.", "high"),
    ],
    "shipping": [
        ("Where is my parcel?", "Order {order} was supposed to arrive {days} days ago and tracking has not moved since.", "medium"),
        ("Marked delivered, not here", "{carrier} says my {p} was delivered yesterday but nothing is at my door.", "high"),
        ("Box arrived crushed", "The box with my {p} arrived crushed and the charger inside is missing.", "medium"),
        ("Delivery to {city}", "How long does delivery to {city} usually take for a {p}?", "low"),
        ("Change delivery address", "Can you redirect order {order} to my office in {city}? It has not arrived yet.", "medium"),
        ("No tracking number", "I never got a tracking number for order {order}, placed {days} days ago.", "low"),
    ],
    "returns": [
        ("Return request", "I would like to return my {p}, it is not what I expected. Order {order}.", "low"),
        ("Exchange for another size", "Can I exchange the {p} for the larger model? Bought it {days} days ago.", "low"),
        ("Return label missing", "The return label for order {order} never came by email.", "medium"),
        ("Return refused at the store", "The store in {city} refused my return of the {p} even though it is within 30 days.", "medium"),
        ("Sent it back, no update", "I posted the {p} back {days} days ago with {carrier} and the return still shows as open.", "medium"),
    ],
    "account": [
        ("Cannot log in", "I cannot sign in to {app}, it keeps saying my password is wrong after a reset.", "medium"),
        ("No verification code", "The verification code never arrives when I try to log in on my {p}.", "medium"),
        ("Change my email", "How do I change the email address on my account?", "low"),
        ("Close my account", "Please delete my account and all my data. How long does that take?", "low"),
        ("Account locked", "My account has been locked for {days} days after too many attempts. How do I unlock it?", "high"),
        ("Two accounts merged?", "I have two accounts after buying the {p}; can they be merged into one?", "low"),
    ],
    "technical": [
        ("Keeps restarting", "My {p} restarts every few minutes since the last update, error {err}.", "high"),
        ("Will not connect to Wi-Fi", "The {p} will not join my Wi-Fi any more. I already reset the router.", "medium"),
        ("App crashes", "{app} crashes as soon as I open the settings page on my {p}.", "medium"),
        ("Black screen", "The {p} turns on but the screen stays black. The light blinks three times.", "high"),
        ("Bluetooth pairing fails", "Pairing the {p} over Bluetooth fails with {err}.", "medium"),
        ("Whole office down", "All {n} {p} units in our office stopped working this morning. We cannot take orders.", "urgent"),
        ("Battery drains fast", "The battery of my {p} drops from full to empty in {n} hours doing nothing.", "medium"),
    ],
    "warranty": [
        ("Repair under warranty", "My {p} is {days} days old and the speaker crackles. How do I get it repaired under warranty?", "medium"),
        ("Repair taking too long", "I sent the {p} in for a warranty repair {days} days ago. Any news?", "medium"),
        ("Extended warranty", "Can I still buy extended warranty for a {p} I bought last month?", "low"),
        ("Warranty claim refused", "My warranty claim for the {p} was refused as accidental damage, but I never dropped it.", "high"),
        ("Battery swelling", "The battery of my {p} is swelling and the case is splitting. Is this covered? It feels unsafe.", "urgent"),
    ],
    "orders": [
        ("Cancel my order", "Please cancel order {order} before it ships, I ordered the wrong {p}.", "medium"),
        ("Add an item", "Can I add a {p} to order {order}? It has not shipped yet.", "low"),
        ("Order stuck in processing", "Order {order} has been processing for {days} days. Is something wrong?", "medium"),
        ("Bulk order", "We want to order {n} units of the {p} for our team in {city}. Who do I talk to?", "low"),
        ("Wrong colour ordered", "I picked the wrong colour for the {p} in order {order}. Can you change it?", "low"),
    ],
    "product": [
        ("Compatibility question", "Does the {p} work with the Aero Dock and with non-Aero chargers?", "low"),
        ("Tech details", "What is the screen size and battery capacity of the {p}?", "low"),
        ("Difference between models", "What is the difference between the {p} and the previous model?", "low"),
        ("Water resistance", "Is the {p} waterproof enough to use in the rain or the shower?", "low"),
        ("Available in {city}?", "When will the {p} be in stores in {city}?", "low"),
    ],
    "subscription": [
        ("Cancel subscription", "Please cancel my {plan} subscription at the end of this month.", "low"),
        ("Renewed without notice", "{plan} renewed yesterday for {amount} without any reminder. I want a refund of the renewal.", "high"),
        ("Upgrade my plan", "How do I upgrade from {plan} to the family plan?", "low"),
        ("Plan not active", "I paid for {plan} {days} days ago but the app still shows the free tier.", "medium"),
        ("Downgrade", "Can I downgrade {plan} without losing my files?", "low"),
    ],
    "security": [
        ("Account hacked", "Someone changed my password and placed orders from my account. Freeze it now please.", "urgent"),
        ("Phishing email", "I got an email that looks like Aero asking for my card number. Is it real?", "medium"),
        ("Suspicious login", "I got an alert about a login from {city} that was not me.", "high"),
        ("Card used fraudulently", "My saved card ending {card} was used for {n} orders I did not make.", "urgent"),
        ("Two-factor disabled", "Two-factor authentication was turned off on my account and I did not do it.", "urgent"),
    ],
    "feedback": [
        ("Great service", "Just wanted to say {name} in your {city} store was really helpful with my {p}.", "low"),
        ("Suggestion for the app", "It would be nice if {app} had a dark mode.", "low"),
        ("Disappointed", "The {p} is fine but the packaging is far too wasteful. Please do better.", "low"),
        ("Love the {p}", "Had the {p} for {days} days now and it is the best purchase I made this year.", "low"),
        ("Long queue", "I waited {n} minutes on the phone line today. Not acceptable.", "low"),
    ],
}

OPENERS = ["", "", "", "", "Hi, ", "Hello, ", "Hi there, ", "Good morning, ", "Hey, ",
           "Dear support, "]
CLOSERS = ["", "", "", " Thanks.", " Thank you!", " Please help.", " Thanks in advance.",
           " Kind regards, {name}.", " Cheers, {name}", " Any help appreciated."]
# First words that a greeting before them puts in lower case.
LOWER_AFTER_OPENER = {"The", "My", "Could", "Can", "How", "What", "Does", "Is", "Please", "All",
                      "Pairing", "Someone", "There", "Order", "When", "Just", "It", "Had",
                      "Two-factor", "We"}
SUBJECT_PREFIXES = ["", "", "", "", "Re: ", "URGENT: ", "Question: ", "Help: "]


def fill(template, slots):
    return template.format(**slots)


def slots():
    return {
        "p": rng.choice(PRODUCTS),
        "app": rng.choice(APPS),
        "plan": rng.choice(PLANS),
        "order": f"A{rng.randint(10**7, 10**8 - 1)}",
        "days": rng.randint(2, 40),
        "amount": "${:.2f}".format(rng.choice([9.99, 19.99, 49, 129, 249.5, 399, 799, 1199])),
        "city": rng.choice(CITIES),
        "carrier": rng.choice(CARRIERS),
        "err": rng.choice(ERRORS).format(rng.randint(1, 999)),
        "n": rng.randint(3, 60),
        "card": f"{rng.randint(1000, 9999)}",
        "name": rng.choice(NAMES),
    }


def jitter(priority):
    """The usual priority most of the time, a neighbour otherwise, as people label."""
    if rng.random() < 0.8:
        return priority
    i = PRIORITY_ORDER.index(priority) + rng.choice([-1, 1])
    return PRIORITY_ORDER[min(max(i, 0), len(PRIORITY_ORDER) - 1)]


def make_ticket(ticket_id, seen):
    while True:
        category = rng.choice(list(CATEGORIES))
        subject, body, priority = rng.choice(TEMPLATES[category])
        s = slots()
        prefix = rng.choice(SUBJECT_PREFIXES)
        if (prefix == "URGENT: " and category in ("feedback", "product")) or (
                prefix == "Question: " and "question" in subject.lower()):
            prefix = ""
        subject = prefix + fill(subject, s)
        if subject.startswith("URGENT: "):
            priority = "high" if priority in ("low", "medium") else priority
        opener, body = rng.choice(OPENERS), fill(body, s)
        if opener and body.split(" ", 1)[0] in LOWER_AFTER_OPENER:
            body = body[0].lower() + body[1:]
        text = opener + body + fill(rng.choice(CLOSERS), s)
        text = text[0].upper() + text[1:]
        if (subject, text) not in seen:  # every ticket distinct
            seen.add((subject, text))
            return {"id": ticket_id, "subject": subject, "body": text, "category": category,
                    "priority": jitter(priority)}


# What a mediocre model writes instead of a label: case, plurals, prefixes, synonyms, blanks.
NEAR_MISSES = {
    "billing": ["Billing", "BILLING", "billing ", "Category: billing", "billing issue", "payment",
                "invoice", "refund", "payments"],
    "shipping": ["Shipping", "shipping ", "cat. shipping", "delivery", "shipment", "Shipping issue",
                 "tracking"],
    "returns": ["Returns", "return", "RETURNS", "category: returns", "exchange", "refund/return",
                "returns "],
    "account": ["Account", "accounts", "login", "account access", "Category - account", "sign-in",
                "ACCOUNT"],
    "technical": ["Technical", "tech", "technical issue", "bug", "tech support", "TECHNICAL",
                  "technical problem"],
    "warranty": ["Warranty", "warranties", "repair", "warranty claim", "cat. warranty",
                 "WARRANTY "],
    "orders": ["Orders", "order", "order change", "Category: orders", "cancellation", "ORDER"],
    "product": ["Product", "products", "product question", "product info", "pre-sales",
                "category: product"],
    "subscription": ["Subscription", "subscriptions", "plan", "subscription billing",
                     "SUBSCRIPTION", "membership"],
    "security": ["Security", "fraud", "security issue", "hacked", "Category: security",
                 "account security"],
    "feedback": ["Feedback", "complaint", "compliment", "suggestion", "general feedback",
                 "feedback "],
    "low": ["Low", "LOW", "low ", "priority: low", "minor", "lowest", "p: low"],
    "medium": ["Medium", "med", "normal", "MEDIUM", "priority: medium", "moderate", "mid"],
    "high": ["High", "HIGH", "high priority", "priority: high", "important", "high "],
    "urgent": ["Urgent", "URGENT", "urgent!", "critical", "priority: urgent", "ASAP",
               "emergency"],
}
NO_ANSWER = ["N/A", "none", "unknown", "-", "n/a", "other"]
NUMBERS = {"category": [0, 3, 7], "priority": [1, 2, 3, 4]}


def predict(field, truth):
    """One field of a model output: None means the model left the field out."""
    r = rng.random()
    if r < 0.60:
        return truth
    if r < 0.84:
        return rng.choice(NEAR_MISSES[truth])
    labels = list(CATEGORIES if field == "category" else PRIORITIES)
    if r < 0.92:
        return rng.choice([label for label in labels if label != truth])
    if r < 0.95:
        return rng.choice(NO_ANSWER)
    if r < 0.97:
        return rng.choice(NUMBERS[field])
    return None


def test_rows(n):
    order = np.random.RandomState(SPLIT_SEED).permutation(n)
    return [int(i) for i in order[: int(n * TEST_RATIO)]]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    seen = set()
    tickets = [make_ticket(i + 1, seen) for i in range(ROWS)]
    with open(os.path.join(here, "tickets.csv"), "w", encoding="utf-8", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(tickets[0]), lineterminator="\n")
        writer.writeheader()
        writer.writerows(tickets)
    labels = {
        "category": {"labels": CATEGORIES,
                     "instruction": "the main subject of the ticket; pick the most specific"},
        "priority": {"labels": PRIORITIES,
                     "instruction": "how soon support must act"},
    }
    with open(os.path.join(here, "labels.json"), "w", encoding="utf-8") as f:
        json.dump(labels, f, ensure_ascii=False, indent=2)
        f.write("\n")
    with open(os.path.join(here, "predictions.jsonl"), "w", encoding="utf-8") as f:
        for row in sorted(test_rows(ROWS)):
            ticket = tickets[row]
            output = {"id": ticket["id"]}
            for field in ("category", "priority"):
                value = predict(field, ticket[field])
                if value is not None:
                    output[field] = value
            f.write(json.dumps(output, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
