#!/usr/bin/python3
"""FTP server for the internet client's tests, on Debian's pyftpdlib (run it with /usr/bin/python3).

Binds 127.0.0.1 on a free port and prints "PORT <n>" on its first line. Serves --root to the
anonymous user and to --user NAME:PASSWORD (both may write). Every command received is appended to
--log, one line each (passwords shown as "PASS ***"). Faults:

  --refuse-rest          REST is answered with 502
  --cut-after N          the first --cut-times (default 1) downloads close their data connection
                         after N bytes
  --drop-at CMD          the control connection is closed when CMD arrives, --drop-times times
  --size-reply TEXT      SIZE is answered with "213 TEXT" whatever the file
"""
import argparse
import logging
import warnings

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

state = {"cuts": 0, "drops": 0}


class CutFile:
    """A file whose reader closes the download's data connection after a number of bytes."""

    def __init__(self, f, handler, limit):
        self._f, self._handler, self._left = f, handler, limit
        self.name, self.closed = f.name, False

    def read(self, n):
        if self._left <= 0:
            channel = self._handler.data_channel
            if channel is not None:
                channel.close()
            return b""
        data = self._f.read(min(n, self._left))
        self._left -= len(data)
        return data

    def close(self):
        self.closed = True
        self._f.close()

    def seek(self, *args):
        return self._f.seek(*args)

    def tell(self):
        return self._f.tell()


def make_filesystem(args):
    class CuttingFS(AbstractedFS):
        def open(self, filename, mode):
            f = AbstractedFS.open(self, filename, mode)
            if "r" in mode and args.cut_after is not None and state["cuts"] < args.cut_times:
                state["cuts"] += 1
                return CutFile(f, self.cmd_channel, args.cut_after)
            return f

    return CuttingFS


def make_handler(args):
    class Handler(FTPHandler):
        def pre_process_command(self, line, cmd, arg):
            with open(args.log, "a") as log:
                log.write(("PASS ***" if cmd == "PASS" else line) + "\n")
            if args.refuse_rest and cmd == "REST":
                self.respond("502 Command not implemented.")
                return
            if args.drop_at and cmd == args.drop_at and state["drops"] < args.drop_times:
                state["drops"] += 1
                self.close()
                return
            FTPHandler.pre_process_command(self, line, cmd, arg)

        def ftp_SIZE(self, path):
            if args.size_reply is not None:
                self.respond("213 " + args.size_reply)
                return
            return FTPHandler.ftp_SIZE(self, path)

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--user")
    parser.add_argument("--refuse-rest", action="store_true")
    parser.add_argument("--cut-after", type=int)
    parser.add_argument("--cut-times", type=int, default=1)
    parser.add_argument("--drop-at")
    parser.add_argument("--drop-times", type=int, default=1)
    parser.add_argument("--size-reply")
    args = parser.parse_args()
    logging.basicConfig(level=logging.CRITICAL)
    warnings.simplefilter("ignore")

    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(args.root, perm="elradfmw")
    if args.user:
        name, password = args.user.split(":", 1)
        authorizer.add_user(name, password, args.root, perm="elradfmw")
    handler = make_handler(args)
    handler.authorizer = authorizer
    handler.abstracted_fs = make_filesystem(args)
    handler.use_sendfile = False
    handler.auth_failed_timeout = 0
    server = FTPServer(("127.0.0.1", 0), handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
