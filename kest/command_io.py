"""What every `kest` command shares: its argument parser and the reading of keys and files, each
failure a Refused that the command reports as one line."""

import argparse
import os
import sys

from kest import chain, jsontext
from kest.errors import Refused, refusing

KEY_VARIABLE = "KEST_KEY"


class Parser(argparse.ArgumentParser):
    """No abbreviated options: "--key" must not pass for "--key-file" and read a file named after the key."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, allow_abbrev=False, **kwargs)


def read_text(path: str) -> str:
    try:
        if path == "-":
            return sys.stdin.read()
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeDecodeError) as failure:
        raise Refused(f"cannot read {path}: {failure}") from None


def parse_json(path: str, text: str):
    """The JSON document `text`, read from `path`."""
    with refusing(f"{path}: not JSON: "):
        return jsontext.loads(text)


def read_json(path: str):
    return parse_json(path, read_text(path))


def parse_chain(path: str, text: str) -> list[dict]:
    """The records of the JSON-lines chain `text`, read from `path`."""
    with refusing(f"{path}: "):
        return chain.read_chain(text)


def load_key(args) -> bytes:
    if args.key_file is not None:
        try:
            with open(args.key_file, "rb") as file:
                key = file.read()
        except OSError as failure:
            raise Refused(f"cannot read the key: {failure}") from None
        key = key.removesuffix(b"\n").removesuffix(b"\r")
    elif (key := os.environb.get(KEY_VARIABLE.encode())) is None:
        raise Refused(f"no key: give --key-file FILE or set {KEY_VARIABLE}")
    if not key:
        raise Refused("the key is empty")
    return key


def text_key(args) -> str:
    key = load_key(args)
    with refusing():
        return chain.key_text(key)


def engine(function, *arguments) -> str:
    with refusing():
        return function(*arguments)
