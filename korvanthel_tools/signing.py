"""Signed policies: signing and verifying the bytes of a compiled policy,
the check a guard makes before it serves (the commands ``korvanthel
keygen``, ``sign`` and ``verify`` are in ``commands.signing``).

A signature is a detached Ed25519 signature over exactly the bytes the
engine loads (a ``.zelvoc`` container or policy JSON; a policy source must
be compiled first), prefixed by the domain text ``DOMAIN`` so that it
cannot be mistaken for a signature over anything else. The signature file
(default ``POLICY.sig``) holds it as one line of base64. Keys are PEM
files: the private key PKCS#8, the public key SubjectPublicKeyInfo; the
same files as

    openssl genpkey -algorithm ed25519 -out policy.key
    openssl pkey -in policy.key -pubout -out policy.pub

Cost: one Ed25519 verification (tens of microseconds) when a guard is made.

Needs the ``sign`` extra (``pip install 'korvanthel[sign]'``, which
installs ``cryptography``); nothing here imports it until a key is used.
"""

from __future__ import annotations

import base64
import binascii
import os
from typing import Any

DOMAIN = b"korvanthel signed policy v1\n"
SIGNATURE_SUFFIX = ".sig"
SIGNATURE_LENGTH = 64
MAX_KEY_FILE = 64 * 1024

EXIT_OK = 0
EXIT_BAD_SIGNATURE = 1
EXIT_ERROR = 2


class SignatureError(ValueError):
    """A key, a signature or a policy that cannot be used; the text says which and why."""


def signature_path(policy: str | os.PathLike[str]) -> str:
    """Where a policy's signature is looked for by default: its path with ``.sig`` appended."""
    return os.fspath(policy) + SIGNATURE_SUFFIX


def _crypto() -> Any:
    try:
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import ed25519
    except ImportError:
        raise SignatureError("signed policies need the sign extra: pip install 'korvanthel[sign]'") from None
    return serialization, ed25519


def _read_small(path: str | os.PathLike[str], what: str) -> bytes:
    try:
        with open(path, "rb") as handle:
            data = handle.read(MAX_KEY_FILE + 1)
    except OSError as exc:
        raise SignatureError(f"{what} {os.fspath(path)}: {exc.strerror or exc}") from None
    if len(data) > MAX_KEY_FILE:
        raise SignatureError(f"{what} {os.fspath(path)}: larger than {MAX_KEY_FILE} bytes")
    return data


def load_public_key(path: str | os.PathLike[str]) -> Any:
    """The Ed25519 public key in the PEM file at ``path``; SignatureError if
    it is unreadable, too large, or another kind of key."""
    serialization, ed25519 = _crypto()
    data = _read_small(path, "public key")
    try:
        key = serialization.load_pem_public_key(data)
    except (ValueError, TypeError) as exc:
        raise SignatureError(f"public key {os.fspath(path)}: not a PEM public key ({exc})") from None
    if not isinstance(key, ed25519.Ed25519PublicKey):
        raise SignatureError(f"public key {os.fspath(path)}: not an Ed25519 key")
    return key


def load_private_key(path: str | os.PathLike[str]) -> Any:
    """The unencrypted Ed25519 private key in the PEM file at ``path``;
    SignatureError otherwise."""
    serialization, ed25519 = _crypto()
    data = _read_small(path, "private key")
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except (ValueError, TypeError) as exc:
        raise SignatureError(f"private key {os.fspath(path)}: not an unencrypted PEM private key ({exc})") from None
    if not isinstance(key, ed25519.Ed25519PrivateKey):
        raise SignatureError(f"private key {os.fspath(path)}: not an Ed25519 key")
    return key


def sign_bytes(policy: bytes, key_path: str | os.PathLike[str]) -> bytes:
    """The signature file's content for these policy bytes."""
    signature = load_private_key(key_path).sign(DOMAIN + policy)
    return base64.b64encode(signature) + b"\n"


def verify_bytes(policy: bytes, signature_file: bytes, key_path: str | os.PathLike[str], *, origin: str) -> None:
    """Raise SignatureError unless ``signature_file`` (a signature file's
    content) signs ``policy`` with the key at ``key_path``."""
    from cryptography.exceptions import InvalidSignature

    key = load_public_key(key_path)
    try:
        signature = base64.b64decode(signature_file.strip(), validate=True)
    except (binascii.Error, ValueError):
        signature = b""
    if len(signature) != SIGNATURE_LENGTH:
        raise SignatureError(f"{origin}: the signature file is not an Ed25519 signature")
    try:
        key.verify(signature, DOMAIN + policy)
    except InvalidSignature:
        raise SignatureError(
            f"{origin}: the signature does not verify with {os.fspath(key_path)} "
            "(signed with another key, or the policy changed since it was signed)") from None


def verify_policy(data: bytes, origin: str, key_path: str | os.PathLike[str], signature: bytes | str | None) -> None:
    """The check a guard makes: ``signature`` is the signature file's
    content (bytes), its path (str), or None for ``origin + ".sig"``."""
    if signature is None or isinstance(signature, str):
        path = signature if isinstance(signature, str) else signature_path(origin)
        if signature is None and origin.startswith("<"):
            raise SignatureError(f"{origin}: a policy not read from a file needs its signature given")
        signature = _read_small(path, "signature")
    verify_bytes(data, signature, key_path, origin=origin)
