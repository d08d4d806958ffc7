"""What the server keeps between starts, in its state folder: its UUID
(``server-uuid``) and its TLS identity (``cert.pem``, ``key.pem``), a
self-signed certificate carrying that UUID as SiLA 2 asks and naming the
addresses the server is reached at, made on first start and made again when
those change. A client trusts the server by loading ``cert.pem``."""

from __future__ import annotations

import contextlib
import ipaddress
import os
import socket
import tempfile
import uuid
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from orvaklab.exceptions import OrvakError

# SiLA 2's extension carrying the server UUID in its certificate.
_UUID_EXTENSION = "1.3.6.1.4.1.58583"
# A certificate this close to its end is made again at start.
_RENEW_BEFORE = timedelta(days=7)
_WILDCARDS = ("0.0.0.0", "::", "")  # noqa: S104 - names, not a bind

IPAddress = ipaddress.IPv4Address | ipaddress.IPv6Address


def default_state_dir() -> Path:
    base = os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state"
    return Path(base) / "orvaklab" / "sila"


def _write_atomically(path: Path, data: bytes, mode: int) -> None:
    """Writes a new file beside `path` with `mode` from its creation, then
    puts it in place: a reader never sees half a key, and an older file's
    mode never carries over."""
    descriptor, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def server_uuid(state_dir: Path) -> uuid.UUID:
    """The UUID kept in the state folder, made on first use."""
    state_dir.mkdir(parents=True, exist_ok=True)
    path = state_dir / "server-uuid"
    if path.exists():
        return uuid.UUID(path.read_text().strip())
    made = uuid.uuid4()
    path.write_text(f"{made}\n")
    return made


def served_names(host: str) -> tuple[frozenset[IPAddress], frozenset[str]]:
    """The IP addresses and DNS names a client may reach a server listening
    on `host` by: the address itself, or a name and what it resolves to;
    for every address (0.0.0.0, ::) this machine's host name, its addresses
    and loopback. A loopback server is also "localhost"."""
    addresses: set[IPAddress] = set()
    names: set[str] = set()

    def add(name: str) -> None:
        try:
            addresses.add(ipaddress.ip_address(name))
            return
        except ValueError:
            names.add(name)
        try:
            found = socket.getaddrinfo(name, None, proto=socket.IPPROTO_TCP)
        except OSError:
            return
        addresses.update(ipaddress.ip_address(str(info[4][0]).split("%")[0]) for info in found)

    if host in _WILDCARDS:
        for name in ("127.0.0.1", "::1", socket.gethostname(), socket.getfqdn()):
            add(name)
    else:
        add(host.strip("[]"))
    if any(address.is_loopback for address in addresses):
        names.add("localhost")
    return frozenset(addresses), frozenset(names)


def tls_identity(state_dir: Path, server: uuid.UUID, host: str) -> tuple[bytes, bytes]:
    """(private key, certificate) in PEM for a server listening on `host`,
    made on first start and made again when the kept one does not carry the
    server's UUID, does not name exactly the addresses served, is about to
    expire or does not match the key. A file that is not what its name says
    is an OrvakError naming it."""
    state_dir.mkdir(parents=True, exist_ok=True)
    key_path, cert_path = state_dir / "key.pem", state_dir / "cert.pem"
    wanted = served_names(host)
    if key_path.exists() and cert_path.exists():
        key, cert = key_path.read_bytes(), cert_path.read_bytes()
        if _current(_loaded(key_path, key), _loaded(cert_path, cert), server, wanted):
            return key, cert
    key, cert = _self_signed(server, wanted)
    _write_atomically(key_path, key, 0o600)
    _write_atomically(cert_path, cert, 0o644)
    return key, cert


def _loaded(path: Path, data: bytes) -> Any:
    from cryptography import x509
    from cryptography.exceptions import UnsupportedAlgorithm
    from cryptography.hazmat.primitives import serialization

    is_key = path.name == "key.pem"
    try:
        if is_key:
            return serialization.load_pem_private_key(data, password=None)
        return x509.load_pem_x509_certificate(data)
    except (ValueError, TypeError, UnsupportedAlgorithm) as error:
        what = "an unencrypted PEM private key" if is_key else "a PEM certificate"
        raise OrvakError(f"{path} is not {what}; remove it, and the server makes a new "
                         "certificate that clients must trust again") from error


def _current(key: Any, certificate: Any, server: uuid.UUID,
             wanted: tuple[frozenset[IPAddress], frozenset[str]]) -> bool:
    from cryptography import x509
    from cryptography.hazmat.primitives import serialization

    carries_uuid = any(
        extension.oid.dotted_string == _UUID_EXTENSION
        and str(server).encode() in extension.value.value for extension in certificate.extensions
        if isinstance(extension.value, x509.UnrecognizedExtension))
    try:
        names = certificate.extensions.get_extension_for_class(x509.SubjectAlternativeName).value
    except x509.ExtensionNotFound:
        return False
    served = (frozenset(names.get_values_for_type(x509.IPAddress)),
              frozenset(names.get_values_for_type(x509.DNSName)))
    public = serialization.PublicFormat.SubjectPublicKeyInfo
    matches = (key.public_key().public_bytes(serialization.Encoding.PEM, public)
               == certificate.public_key().public_bytes(serialization.Encoding.PEM, public))
    lasting = certificate.not_valid_after_utc - datetime.now(timezone.utc) > _RENEW_BEFORE
    return carries_uuid and served == wanted and matches and lasting


def _self_signed(server: uuid.UUID,
                 names: tuple[frozenset[IPAddress], frozenset[str]]) -> tuple[bytes, bytes]:
    """A new key and a self-signed certificate for it, in PEM: as SiLA 2's
    own (the consortium's subject, the UUID extension), naming `names`."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    subject = x509.Name([
        x509.NameAttribute(NameOID.COUNTRY_NAME, "CH"),
        x509.NameAttribute(NameOID.STATE_OR_PROVINCE_NAME, "SG"),
        x509.NameAttribute(NameOID.LOCALITY_NAME, "Rapperswil-Jona"),
        x509.NameAttribute(NameOID.ORGANIZATION_NAME,
                           "Association Consortium Standardization in Lab Automation (SiLA)"),
        x509.NameAttribute(NameOID.COMMON_NAME, "SiLA2"),
    ])
    addresses, dns_names = names
    alternative: list[x509.GeneralName] = [x509.IPAddress(address) for address in sorted(
        addresses, key=lambda address: (address.version, address))]
    alternative += [x509.DNSName(name) for name in sorted(dns_names)]
    now = datetime.now(timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(subject).issuer_name(subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - timedelta(hours=12))
        .not_valid_after(now + timedelta(days=364))
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH,
                                              ExtendedKeyUsageOID.CLIENT_AUTH]), critical=False)
        .add_extension(x509.KeyUsage(
            digital_signature=True, key_encipherment=True, key_cert_sign=True, crl_sign=False,
            key_agreement=False, encipher_only=False, decipher_only=False,
            content_commitment=False, data_encipherment=False), critical=True)
        .add_extension(x509.SubjectAlternativeName(alternative), critical=False)
        .add_extension(x509.UnrecognizedExtension(x509.ObjectIdentifier(_UUID_EXTENSION),
                                                  str(server).encode("ascii")), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                       critical=False)
        .sign(key, hashes.SHA256())
    )
    return (key.private_bytes(serialization.Encoding.PEM,
                              serialization.PrivateFormat.TraditionalOpenSSL,
                              serialization.NoEncryption()),
            certificate.public_bytes(serialization.Encoding.PEM))
