"""Signed policies: ``korvanthel keygen``, ``korvanthel sign`` and
``korvanthel verify``, and the check a guard makes before it serves.

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

import argparse
import base64
import binascii
import os
import sys
from pathlib import Path
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


def add_signing_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    keygen = commands.add_parser(
        "keygen", help="make an Ed25519 key pair for signing policies",
        description="Write a new Ed25519 private key to KEY (PEM, mode 600) and its public key to "
        "KEY.pub (or --public). Give the public key to every guard that must check the policy "
        "(mcp-proxy --verify-key); keep the private key where only the policy's signer can read it.",
    )
    keygen.add_argument("key", metavar="KEY", help="where to write the private key (must not exist)")
    keygen.add_argument("--public", metavar="FILE", help="where to write the public key (default: KEY.pub)")
    keygen.set_defaults(run=cmd_keygen)

    sign = commands.add_parser(
        "sign", help="sign a compiled policy (detached Ed25519 signature)",
        description="Check that the engine loads POLICY (a .zelvoc container or policy JSON), then write "
        "a detached Ed25519 signature of its bytes to POLICY.sig (or -o).",
    )
    sign.add_argument("policy", metavar="POLICY")
    sign.add_argument("--key", required=True, metavar="KEY", help="the private key (PEM)")
    sign.add_argument("-o", "--output", metavar="SIG", help="the signature file (default: POLICY.sig)")
    sign.set_defaults(run=cmd_sign)

    verify = commands.add_parser(
        "verify", help="check a policy's signature",
        description="Check that SIG (default POLICY.sig) signs POLICY with the public key KEY. "
        "Exit status: 0 it does, 1 it does not, 2 the files cannot be read.",
    )
    verify.add_argument("policy", metavar="POLICY")
    verify.add_argument("--key", required=True, metavar="KEY", help="the public key (PEM)")
    verify.add_argument("--signature", metavar="SIG", help="the signature file (default: POLICY.sig)")
    verify.set_defaults(run=cmd_verify)


def _fail(command: str, text: str, status: int = EXIT_ERROR) -> int:
    print(f"korvanthel {command}: error: {text}", file=sys.stderr)
    return status


def _write_new(path: str, data: bytes, mode: int) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def cmd_keygen(args: argparse.Namespace) -> int:
    try:
        serialization, ed25519 = _crypto()
    except SignatureError as exc:
        return _fail("keygen", str(exc))
    public_path = args.public or args.key + ".pub"
    key = ed25519.Ed25519PrivateKey.generate()
    private_pem = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    public_pem = key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
    try:
        _write_new(args.key, private_pem, 0o600)
    except OSError as exc:
        return _fail("keygen", f"{args.key}: {exc.strerror or exc}")
    try:
        _write_new(public_path, public_pem, 0o644)
    except OSError as exc:
        os.unlink(args.key)
        return _fail("keygen", f"{public_path}: {exc.strerror or exc}")
    print(f"private key {args.key}, public key {public_path}")
    return EXIT_OK


def _policy_bytes(command: str, path: str) -> bytes | int:
    from korvanthel_tools.guarding import PolicyLoadError, PolicySource

    try:
        return PolicySource.from_path(path).data
    except PolicyLoadError as exc:
        return _fail(command, f"{exc} (sign the compiled policy: a .zelvoc container or policy JSON)")


def cmd_sign(args: argparse.Namespace) -> int:
    data = _policy_bytes("sign", args.policy)
    if isinstance(data, int):
        return data
    try:
        if os.stat(args.key).st_mode & 0o077:
            print(f"korvanthel sign: warning: {args.key} can be read by others than its owner", file=sys.stderr)
        signature = sign_bytes(data, args.key)
    except OSError as exc:
        return _fail("sign", f"{args.key}: {exc.strerror or exc}")
    except SignatureError as exc:
        return _fail("sign", str(exc))
    target = args.output or signature_path(args.policy)
    try:
        Path(target).write_bytes(signature)
    except OSError as exc:
        return _fail("sign", f"{target}: {exc.strerror or exc}")
    print(f"signed {args.policy}: {target}")
    return EXIT_OK


def cmd_verify(args: argparse.Namespace) -> int:
    try:
        data = Path(args.policy).read_bytes()
    except OSError as exc:
        return _fail("verify", f"{args.policy}: {exc.strerror or exc}")
    try:
        signature = _read_small(args.signature or signature_path(args.policy), "signature")
        load_public_key(args.key)
    except SignatureError as exc:
        return _fail("verify", str(exc))
    try:
        verify_bytes(data, signature, args.key, origin=args.policy)
    except SignatureError as exc:
        return _fail("verify", str(exc), EXIT_BAD_SIGNATURE)
    print(f"{args.policy}: signature verified")
    return EXIT_OK
