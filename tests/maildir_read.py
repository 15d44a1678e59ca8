#!/usr/bin/env python3
"""Reads a Maildir as mail readers do, through Python's mailbox module, and
writes the bytes of each message to OUTDIR, in a file named by the
message's Message-ID without its angle brackets.  Prints the number of
messages.  Exits 1, with a word on stderr, when the directory is no Maildir,
a message is not in new/, or a Message-ID is missing or seen twice.

usage: maildir_read.py MAILDIR OUTDIR
"""
import mailbox
import os
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    path, outdir = sys.argv[1], sys.argv[2]
    try:
        box = mailbox.Maildir(path, factory=None, create=False)
        keys = list(box.iterkeys())
    except (mailbox.NoSuchMailboxError, OSError) as err:
        print(f"maildir_read: {path}: {err}", file=sys.stderr)
        return 1
    seen = set()
    for key in keys:
        message = box.get_message(key)
        if message.get_subdir() != "new":
            print(f"maildir_read: {key} is in {message.get_subdir()}/, not new/", file=sys.stderr)
            return 1
        message_id = (message["Message-ID"] or "").strip().strip("<>")
        if not message_id or "/" in message_id or message_id in seen:
            print(f"maildir_read: {key}: bad or repeated Message-ID {message_id!r}", file=sys.stderr)
            return 1
        seen.add(message_id)
        with open(os.path.join(outdir, message_id), "wb") as out:
            out.write(box.get_bytes(key))
    print(len(keys))
    return 0


if __name__ == "__main__":
    sys.exit(main())
