"""``korvanthel keygen``, ``korvanthel sign`` and ``korvanthel verify``:
the commands over ``korvanthel_tools.signing``. Exit status 0 on success,
1 when a signature does not verify, 2 on any other error."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

from korvanthel_tools.commands.options import add_command, add_output_option
from korvanthel_tools.signing import (
    EXIT_BAD_SIGNATURE,
    EXIT_ERROR,
    EXIT_OK,
    SignatureError,
    _crypto,
    _read_small,
    load_public_key,
    sign_bytes,
    signature_path,
    verify_bytes,
)


def add_signing_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    """Register keygen, sign and verify on the CLI's subcommands."""
    keygen = add_command(
        commands, "keygen", run=cmd_keygen, summary="make an Ed25519 key pair for signing policies",
        description="Write a new Ed25519 private key to KEY (PEM, mode 600) and its public key to "
        "KEY.pub (or --public). Give the public key to every guard that must check the policy "
        "(the verify-key option of mcp-proxy, Guard and the adapters); keep the private key where only the policy's signer can read it.",
    )
    keygen.add_argument("key", metavar="KEY", help="where to write the private key (must not exist)")
    keygen.add_argument("--public", metavar="FILE", help="where to write the public key (default: KEY.pub)")

    sign = add_command(
        commands, "sign", run=cmd_sign, summary="sign a compiled policy (detached Ed25519 signature)",
        description="Check that the engine loads POLICY (a .zelvoc container or policy JSON), then write "
        "a detached Ed25519 signature of its bytes to POLICY.sig (or -o).",
    )
    add_policy_and_key(sign, "the private key (PEM)")
    add_output_option(sign, "SIG", "the signature file (default: POLICY.sig)")

    verify = add_command(
        commands, "verify", run=cmd_verify, summary="check a policy's signature",
        description="Check that SIG (default POLICY.sig) signs POLICY with the public key KEY. "
        "Exit status: 0 it does, 1 it does not, 2 the files cannot be read.",
    )
    add_policy_and_key(verify, "the public key (PEM)")
    verify.add_argument("--signature", metavar="SIG", help="the signature file (default: POLICY.sig)")


def add_policy_and_key(parser: argparse.ArgumentParser, key_help: str) -> None:
    """The arguments sign and verify share: the policy file and ``--key``."""
    parser.add_argument("policy", metavar="POLICY")
    parser.add_argument("--key", required=True, metavar="KEY", help=key_help)


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
    """``korvanthel keygen``: write a new key pair; never overwrites a file."""
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
    """``korvanthel sign``: write the detached signature of a compiled policy."""
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
    """``korvanthel verify``: 0 when the signature verifies with the public key, 1 when it does not."""
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
