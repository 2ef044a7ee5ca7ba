"""Python's ftplib as a peer of the tests: one session a run.

usage: ftplib_peer.py HOST PORT MODE CAFILE USER PASSWORD OPERATION [ARGUMENT...]

MODE is "passive" (ftplib's default) or "active". CAFILE "-" is no TLS;
any other is the CA certificates the server's certificate must lead to, and
the session is TLS throughout (FTP_TLS, prot_p).

  list [ARGUMENT]   LIST (with ARGUMENT); prints the listing, a line each
  get REMOTE LOCAL  RETR REMOTE into the file LOCAL
  put LOCAL REMOTE  STOR the file LOCAL as REMOTE
  delete REMOTE     DELE REMOTE
  quote COMMAND     sends COMMAND as it stands; prints the whole reply

A refusal, or any other failure, ends the run with status 1 and ftplib's
message on standard error.
"""

import ftplib
import ssl
import sys


def run(ftp, operation, arguments):
    if operation == "list":
        ftp.retrlines(" ".join(["LIST"] + arguments), print)
    elif operation == "get":
        remote, local = arguments
        with open(local, "wb") as target:
            ftp.retrbinary("RETR " + remote, target.write)
    elif operation == "put":
        local, remote = arguments
        with open(local, "rb") as source:
            ftp.storbinary("STOR " + remote, source)
    elif operation == "delete":
        ftp.delete(arguments[0])
    elif operation == "quote":
        print(ftp.sendcmd(arguments[0]))
    else:
        raise SystemExit("unknown operation " + operation)


def main(argv):
    host, port, mode, cafile, user, password, operation, *arguments = argv[1:]
    try:
        if cafile == "-":
            ftp = ftplib.FTP(timeout=30)
        else:
            ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=cafile), timeout=30)
        with ftp:
            ftp.connect(host, int(port))
            ftp.login(user, password)
            if cafile != "-":
                ftp.prot_p()
            # Active: the server connects to the client for every transfer.
            ftp.set_pasv(mode != "active")
            run(ftp, operation, arguments)
    except ftplib.all_errors as error:
        print("ftplib: " + str(error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
