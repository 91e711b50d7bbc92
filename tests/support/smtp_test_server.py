"""A small real SMTP server for the tests, on aiosmtpd.

It listens on a loopback address and a port the system picks, and prints "PORT <n>" on
stdout once it accepts connections. Every accepted message becomes one JSON file in the
output folder (written under a temporary name, then renamed, so a reader never sees half
a file); the number of connections so far is kept in the file "connections" there.

The server ends when its standard input closes, so it never outlives the test that
started it, even one that crashed.
"""

import argparse
import asyncio
import base64
import datetime
import ipaddress
import json
import os
import ssl
import stat
import sys
import threading

try:
    from aiosmtpd.smtp import SMTP, AuthResult
except ImportError:
    print("aiosmtpd is not installed for " + sys.executable, file=sys.stderr)
    sys.exit(3)


def write_atomically(folder, name, text):
    temporary = os.path.join(folder, "." + name + ".tmp")
    with open(temporary, "w", encoding="utf-8") as stream:
        stream.write(text)
    os.replace(temporary, os.path.join(folder, name))


class Recorder:
    def __init__(self, folder, reject_pattern, reject_reply, refuse_noop, stall):
        self.folder = folder
        self.refuse_noop = refuse_noop
        self.stall = stall
        self.reject_pattern = reject_pattern
        self.reject_reply = reject_reply
        self.messages = 0
        self.connections = 0
        self.mail_froms = 0

    def connection_opened(self):
        self.connections += 1
        write_atomically(self.folder, "connections", str(self.connections))

    async def handle_NOOP(self, server, session, envelope, arg):
        return "502 5.5.1 NOOP not implemented" if self.refuse_noop else "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.reject_pattern and self.reject_pattern in address:
            return self.reject_reply
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.messages += 1
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            # Raw bytes as they arrived (after the server removed the dot-stuffing).
            "data": base64.b64encode(envelope.original_content).decode("ascii"),
        }
        write_atomically(self.folder, "message-%05d.json" % self.messages, json.dumps(record))
        if self.stall == "data":
            await hang()
        return "250 Message accepted for delivery"

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.mail_froms += 1
        write_atomically(self.folder, "mail-froms", str(self.mail_froms))
        if self.stall == "drop-mail":
            server.transport.close()
            await hang()
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_QUIT(self, server, session, envelope):
        if self.stall == "quit":
            await hang()
        return "221 Bye"


async def hang():
    """Never answers, as a hung server; the wait ends only with the server."""
    await asyncio.Event().wait()


class SlowSMTP(SMTP):
    """Counts connections and holds back every reply, the greeting included, by a fixed delay."""

    def __init__(self, recorder, delay_seconds, **kwargs):
        super().__init__(recorder, **kwargs)
        self.recorder = recorder
        self.delay_seconds = delay_seconds

    def connection_made(self, transport):
        # STARTTLS calls this again for the same session; only a new transport counts.
        if self.transport is None:
            self.recorder.connection_opened()
        super().connection_made(transport)

    async def push(self, status):
        # A multi-line reply (EHLO) is held back once, before its last line, which is the
        # one a client waits for.
        text = status.decode("ascii", "replace") if isinstance(status, bytes) else status
        if self.delay_seconds > 0 and text[3:4] != "-":
            await asyncio.sleep(self.delay_seconds)
        await super().push(status)


async def serve(arguments):
    context = None
    if arguments.tls or arguments.starttls:
        certificate = write_certificate(arguments.output)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(certificate, os.path.join(arguments.output, "key.pem"))
    recorder = Recorder(arguments.output, arguments.reject, arguments.reject_reply, arguments.refuse_noop,
                        arguments.stall)
    write_atomically(arguments.output, "connections", "0")
    loop = asyncio.get_running_loop()

    def make_session():
        # A fixed host name: aiosmtpd would otherwise look up this machine's name.
        options = {}
        if arguments.starttls:
            options.update(tls_context=context, require_starttls=arguments.require_starttls)
        if arguments.user:
            def authenticate(server, session, envelope, mechanism, auth_data):
                ok = (auth_data.login == arguments.user.encode() and auth_data.password == arguments.password.encode())
                return AuthResult(success=ok, handled=False)

            options.update(authenticator=authenticate, auth_required=True, auth_require_tls=arguments.auth_require_tls)
        return SlowSMTP(recorder, arguments.delay_ms / 1000.0, hostname="corvane-test", loop=loop, **options)

    server = await loop.create_server(make_session, host=arguments.host, port=0,
                                      ssl=context if arguments.tls else None)
    port = server.sockets[0].getsockname()[1]
    print("PORT %d" % port, flush=True)

    # Only a pipe from the parent says anything by closing; a terminal or /dev/null (a run
    # by hand) does not, and the server then runs until it is interrupted.
    stdin_closed = loop.create_future()
    if stat.S_ISFIFO(os.fstat(sys.stdin.fileno()).st_mode):
        def watch_stdin():
            while sys.stdin.buffer.read1(4096):
                pass
            loop.call_soon_threadsafe(lambda: stdin_closed.done() or stdin_closed.set_result(None))

        threading.Thread(target=watch_stdin, daemon=True).start()
    await stdin_closed
    server.close()


def write_certificate(folder):
    """A self-signed certificate for the loopback addresses, as cert.pem and key.pem."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "corvane-test")])
    now = datetime.datetime.now(datetime.timezone.utc)
    alternatives = x509.SubjectAlternativeName([
        x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.IPAddress(ipaddress.ip_address("::1")),
        x509.DNSName("localhost")])
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=30)).add_extension(alternatives, critical=False)
                   .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                   .sign(key, hashes.SHA256()))
    with open(os.path.join(folder, "key.pem"), "wb") as stream:
        stream.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                       serialization.NoEncryption()))
    path = os.path.join(folder, "cert.pem")
    with open(path, "wb") as stream:
        stream.write(certificate.public_bytes(serialization.Encoding.PEM))
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--output", required=True)
    parser.add_argument("--reject", default="", help="refuse recipients whose address holds this text")
    parser.add_argument("--reject-reply", default="550 5.1.1 No such user here")
    parser.add_argument("--delay-ms", type=int, default=0)
    parser.add_argument("--refuse-noop", action="store_true", help="answer NOOP with 502, as some servers do")
    parser.add_argument("--stall", choices=["data", "quit", "drop-mail"], default=None,
                        help="never answer the end of the message data (it is still recorded), or QUIT; "
                             "or close the connection at MAIL FROM")
    parser.add_argument("--tls", action="store_true", help="TLS from the first byte, self-signed (cert.pem)")
    parser.add_argument("--starttls", action="store_true", help="offer STARTTLS, self-signed (cert.pem)")
    parser.add_argument("--require-starttls", action="store_true", help="refuse other commands before STARTTLS")
    parser.add_argument("--user", default="", help="require a login (AUTH PLAIN or LOGIN) as this user")
    parser.add_argument("--password", default="")
    parser.add_argument("--auth-require-tls", action="store_true", help="offer AUTH only over TLS")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
