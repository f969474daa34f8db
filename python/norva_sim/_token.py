"""The token a served sim may require: given, read from a file, or NORVA_SIM_TOKEN. Its text is
never put in a message, so that no traceback or log shows it."""
import os

_MOST = 4096


def token_of(token=None, token_file=None):
    """The token to send, or None; blanks around it (a file's line end) are not part of it."""
    if token is not None and token_file is not None:
        raise ValueError("give token or token_file, not both")
    if token_file is not None:
        with open(token_file, encoding="utf-8") as source:
            text = source.read(_MOST + 1)
        if len(text) > _MOST:
            raise ValueError(f"the token file {token_file} is larger than a token "
                             f"({_MOST} bytes at most)")
        token = text.split("\n", 1)[0]
        if not token.strip():
            raise ValueError(f"the token file {token_file} holds no token")
    elif token is None:
        token = os.environ.get("NORVA_SIM_TOKEN") or None
        if token is None:
            return None
    token = token.strip()
    if not token:
        raise ValueError("the token is empty")
    if any(not 0x21 <= ord(character) <= 0x7e for character in token):
        raise ValueError("the token holds a character that a request header cannot carry (a "
                         "space, a line end or another control character, or one past ASCII); "
                         "it is not shown here")
    return token
