"""Checks recorded worker protocol traffic (record_traffic.py's logs) against the JSON Schemas:
every request, every answer, and each result as its request's op says (a batched reset or step
where the simulator was made with "instances").

usage: check_traffic.py SCHEMA_FOLDER LOG...; prints one JSON object with the counts and the
faults found.
"""
import json
import os
import sys

from jsonschema import Draft202012Validator


def load(folder, name):
    with open(os.path.join(folder, name)) as schema_file:
        schema = json.load(schema_file)
    Draft202012Validator.check_schema(schema)
    return schema


def main():
    folder, logs = sys.argv[1], sys.argv[2:]
    request = Draft202012Validator(load(folder, "worker-request.schema.json"))
    answer_schema = load(folder, "worker-answer.schema.json")
    answer = Draft202012Validator(answer_schema)
    results = {name: Draft202012Validator({**definition, "$defs": answer_schema["$defs"]})
               for name, definition in answer_schema["$defs"].items()}
    space = Draft202012Validator(load(folder, "space.schema.json"))
    result_of = {"reset": results["reset_result"], "step": results["step_result"],
                 "make": results["empty_result"], "close": results["empty_result"],
                 "sensor_space": space, "action_space": space,
                 "batched reset": results["batched_reset_result"],
                 "batched step": results["batched_step_result"]}
    seen = {"requests": 0, "answers": 0, "results": {}, "faults": []}

    def fault(where, line, errors):
        for error in errors:
            seen["faults"].append(f"{where}: {error.message} in {line[:200]}")

    for path in logs:
        ops = {}
        batched = False
        for number, line in enumerate(open(path), 1):
            where = f"{os.path.basename(path)}:{number}"
            mark, text = line[:2], line[2:].rstrip("\n")
            message = json.loads(text)
            if mark == "> ":
                seen["requests"] += 1
                fault(where, text, request.iter_errors(message))
                op = message.get("op")
                if op == "make":
                    batched = "instances" in message
                ops[message.get("id")] = f"batched {op}" if batched and op in ("reset", "step") \
                    else op
                continue
            seen["answers"] += 1
            fault(where, text, answer.iter_errors(message))
            op = ops.get(message.get("id"))
            if "result" in message and op in result_of:
                seen["results"][op] = seen["results"].get(op, 0) + 1
                fault(where, text, result_of[op].iter_errors(message["result"]))
    print(json.dumps(seen))


if __name__ == "__main__":
    main()
