"""What the server keeps between starts, in its state folder: its UUID
(``server-uuid``) and its TLS identity (``cert.pem``, ``key.pem``), a
self-signed certificate carrying that UUID as SiLA 2 asks, made on first
start. A client trusts the server by loading ``cert.pem``."""

from __future__ import annotations

import os
import uuid
from pathlib import Path

from sila2.server.encryption import generate_self_signed_certificate


def default_state_dir() -> Path:
    base = os.environ.get("XDG_STATE_HOME") or Path.home() / ".local" / "state"
    return Path(base) / "orvaklab" / "sila"


def _write_private(path: Path, data: bytes) -> None:
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(descriptor, "wb") as file:
        file.write(data)


def server_uuid(state_dir: Path) -> uuid.UUID:
    """The UUID kept in the state folder, made on first use."""
    state_dir.mkdir(parents=True, exist_ok=True)
    path = state_dir / "server-uuid"
    if path.exists():
        return uuid.UUID(path.read_text().strip())
    made = uuid.uuid4()
    path.write_text(f"{made}\n")
    return made


def tls_identity(state_dir: Path, server: uuid.UUID, host: str) -> tuple[bytes, bytes]:
    """(private key, certificate) in PEM, made on first start. A certificate
    made for another UUID (the uuid file was replaced) is made again."""
    state_dir.mkdir(parents=True, exist_ok=True)
    key_path, cert_path = state_dir / "key.pem", state_dir / "cert.pem"
    if key_path.exists() and cert_path.exists():
        cert = cert_path.read_bytes()
        if _carries_uuid(cert, server):
            return key_path.read_bytes(), cert
    key, cert = generate_self_signed_certificate(server, host)
    _write_private(key_path, key)
    cert_path.write_bytes(cert)
    return key, cert


def _carries_uuid(cert_pem: bytes, server: uuid.UUID) -> bool:
    from cryptography import x509

    certificate = x509.load_pem_x509_certificate(cert_pem)
    return any(str(server).encode() in extension.value.value
               for extension in certificate.extensions
               if isinstance(extension.value, x509.UnrecognizedExtension))
