"""What every `kest` command shares: its argument parser, the refusal it reports, and the reading
of keys and files."""

import argparse
import os
import sys

from kest import chain, jsontext

KEY_VARIABLE = "KEST_KEY"


class Parser(argparse.ArgumentParser):
    """No abbreviated options: "--key" must not pass for "--key-file" and read a file named after the key."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, allow_abbrev=False, **kwargs)


class Refusal(Exception):
    """A failure to report on standard error with exit status 1."""


def read_text(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as file:
            return file.read()
    except (OSError, UnicodeDecodeError) as failure:
        raise Refusal(f"cannot read {path}: {failure}") from None


def parse_json(path: str, text: str):
    """The JSON document `text`, read from `path`."""
    try:
        return jsontext.loads(text)
    except ValueError as failure:
        raise Refusal(f"{path}: not JSON: {failure}") from None


def read_json(path: str):
    return parse_json(path, read_text(path))


def load_key(args) -> bytes:
    if args.key_file is not None:
        try:
            with open(args.key_file, "rb") as file:
                key = file.read()
        except OSError as failure:
            raise Refusal(f"cannot read the key: {failure}") from None
        key = key.removesuffix(b"\n").removesuffix(b"\r")
    elif (key := os.environb.get(KEY_VARIABLE.encode())) is None:
        raise Refusal(f"no key: give --key-file FILE or set {KEY_VARIABLE}")
    if not key:
        raise Refusal("the key is empty")
    return key


def text_key(args) -> str:
    try:
        return chain.key_text(load_key(args))
    except ValueError as failure:
        raise Refusal(str(failure)) from None


def engine(function, *arguments) -> str:
    try:
        return function(*arguments)
    except ValueError as failure:
        raise Refusal(str(failure)) from None
