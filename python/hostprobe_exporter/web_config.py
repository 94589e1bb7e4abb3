"""The web configuration file that Prometheus exporters share: TLS and basic auth.

    tls_server_config:
      cert_file: server.crt             # paths relative to the file's directory
      key_file: server.key
      client_ca_file: clients-ca.crt    # with a client_auth_type that verifies
      client_auth_type: RequireAndVerifyClientCert
      min_version: TLS12                # TLS10, TLS11, TLS12 (the default), TLS13
    basic_auth_users:
      prometheus: $2y$10$...            # as htpasswd -nBC 10 prometheus writes

An empty file, or an empty section, leaves that part out: plain HTTP, or no
authentication. Any other key is an error, so that a setting this exporter
does not know is never silently left without effect.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import hmac
import os
import re
import secrets
import ssl
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from hostprobe_exporter import PROGRAM

_dependencies_installed = True
try:
    import bcrypt
    import yaml  # type: ignore[import-untyped]  # only safe_load is used: no need for a stubs package
except ModuleNotFoundError:  # load_web_config says how to install them
    _dependencies_installed = False

_SECTION_KEYS = {
    "tls_server_config": ("cert_file", "key_file", "client_ca_file", "client_auth_type", "min_version"),
    "basic_auth_users": None,  # any user name
}
_VERIFY_MODES = {
    "NoClientCert": ssl.CERT_NONE,
    "VerifyClientCertIfGiven": ssl.CERT_OPTIONAL,
    "RequireAndVerifyClientCert": ssl.CERT_REQUIRED,
}
_UNSUPPORTED_CLIENT_AUTH_TYPES = ("RequestClientCert", "RequireAnyClientCert")
_MIN_VERSIONS = {
    "TLS10": ssl.TLSVersion.TLSv1,
    "TLS11": ssl.TLSVersion.TLSv1_1,
    "TLS12": ssl.TLSVersion.TLSv1_2,
    "TLS13": ssl.TLSVersion.TLSv1_3,
}
# $2y$ is what htpasswd writes; the cost is the base-2 logarithm of the rounds, 4 to 31.
_BCRYPT_HASH = re.compile(r"\$2[aby]\$(0[4-9]|[12][0-9]|3[01])\$[./A-Za-z0-9]{53}")
# bcrypt reads no further; htpasswd and Go's bcrypt both cut a password there.
_BCRYPT_PASSWORD_BYTES = 72


class WebConfigError(Exception):
    """A web configuration file that cannot be used; one line, "<path>: <fault>"."""


class BasicAuth:
    """Checks HTTP basic authentication against bcrypt hashes."""

    def __init__(self, password_hashes: Mapping[str, str]) -> None:
        self._password_hashes = {user: password_hash.encode() for user, password_hash in password_hashes.items()}
        # Matches no password; checked for an unknown user, so that the answer
        # takes as long as for a known one and does not tell which users exist.
        cost = max(password_hash[4:6] for password_hash in password_hashes.values())  # the 10 of $2y$10$
        self._unknown_user_hash = f"$2b${cost}${'.' * 53}".encode()
        # A keyed digest of each user's last correct password, never the password itself.
        self._digest_key = secrets.token_bytes(32)
        self._correct_password_digests: dict[str, bytes] = {}

    def authorised(self, authorization_header: str | None) -> bool:
        """Whether the header carries a known user and its password; blocks
        for a bcrypt check (tens of milliseconds) unless this user's password
        was last checked correct."""
        credentials = _basic_credentials(authorization_header)
        if credentials is None:
            return False
        user, password = credentials
        digest = hmac.new(self._digest_key, password, hashlib.sha256).digest()
        correct_digest = self._correct_password_digests.get(user)
        if correct_digest is not None and hmac.compare_digest(digest, correct_digest):
            return True
        password_hash = self._password_hashes.get(user)
        if password_hash is None:
            bcrypt.checkpw(password[:_BCRYPT_PASSWORD_BYTES], self._unknown_user_hash)
            return False
        if not bcrypt.checkpw(password[:_BCRYPT_PASSWORD_BYTES], password_hash):
            return False
        self._correct_password_digests[user] = digest
        return True


def _basic_credentials(authorization_header: str | None) -> tuple[str, bytes] | None:
    scheme, _, encoded = (authorization_header or "").partition(" ")
    if scheme.lower() != "basic":
        return None
    try:
        user, colon, password = base64.b64decode(encoded.strip(), validate=True).partition(b":")
        return (user.decode(), password) if colon else None
    except (binascii.Error, ValueError):  # not base64, or not ASCII; a user name not UTF-8
        return None


@dataclass(frozen=True)
class WebConfig:
    # A server context; certificate, key and CA files renewed on disk are
    # served from the next handshake on.
    tls_context: ssl.SSLContext | None
    basic_auth: BasicAuth | None


@dataclass(frozen=True)
class _TlsSettings:
    config_path: str
    cert_file: str
    key_file: str
    client_ca_file: str | None
    verify_mode: ssl.VerifyMode
    min_version: ssl.TLSVersion

    def files(self) -> dict[str, str]:
        """Each file by its key."""
        files = {"cert_file": self.cert_file, "key_file": self.key_file}
        return files | ({"client_ca_file": self.client_ca_file} if self.client_ca_file else {})

    def fault(self, fault: str) -> WebConfigError:
        return WebConfigError(f"{self.config_path}: tls_server_config.{fault}")


def _ssl_fault(error: OSError) -> str:
    """OpenSSL's reason, without the line of CPython's source that raised it."""
    return re.sub(r" \(_ssl\.c:\d+\)$", "", str(error.strerror or error))


def _server_context(settings: _TlsSettings) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = settings.min_version
    for name, path in settings.files().items():
        try:
            open(path, "rb").close()
        except OSError as error:
            raise settings.fault(f"{name} {path}: {error.strerror}") from None
    try:
        # An empty password: an encrypted key fails to load rather than prompting on the terminal.
        context.load_cert_chain(settings.cert_file, settings.key_file, password="")
    except OSError as error:  # ssl.SSLError, or a file gone since opened
        if isinstance(error, ssl.SSLError) and error.reason == "KEY_VALUES_MISMATCH":
            raise settings.fault(
                f"key_file {settings.key_file} does not match cert_file {settings.cert_file}"
            ) from None
        raise settings.fault(
            f"cert_file {settings.cert_file} with key_file {settings.key_file}: not a PEM certificate "
            f"with its unencrypted PEM key ({_ssl_fault(error)})"
        ) from None
    if settings.client_ca_file:
        try:
            context.load_verify_locations(settings.client_ca_file)
        except OSError as error:
            raise settings.fault(f"client_ca_file {settings.client_ca_file}: {_ssl_fault(error)}") from None
    context.verify_mode = settings.verify_mode
    return context


def _files_signature(paths: Iterable[str]) -> tuple[tuple[int, int, int, int] | None, ...]:
    signature: list[tuple[int, int, int, int] | None] = []
    for path in paths:
        try:
            status = os.stat(path)
            signature.append((status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns))
        except OSError:
            signature.append(None)
    return tuple(signature)


class _RenewedContext:
    """An SNI callback (called on every handshake, SNI or not) that hands the
    handshake a context loaded anew whenever one of the files has changed."""

    def __init__(self, settings: _TlsSettings) -> None:
        self._settings = settings
        self._files_signature = _files_signature(settings.files().values())
        self.context = _server_context(settings)
        self._current = self.context
        self.context.sni_callback = self

    def __call__(self, ssl_object: ssl.SSLObject, server_name: str | None, context: ssl.SSLContext) -> None:
        files_signature = _files_signature(self._settings.files().values())
        if files_signature != self._files_signature:
            self._files_signature = files_signature
            try:
                self._current = _server_context(self._settings)
            except WebConfigError as error:
                # Once per change of the files: a renewal half written is retried when it is completed.
                print(f"{PROGRAM}: {error}; serving the certificate loaded before", file=sys.stderr, flush=True)
        if self._current is not context:
            ssl_object.context = self._current


def _section(config_path: str, name: str | None, value: object, known_keys: tuple[str, ...] | None) -> dict[Any, Any]:
    """The mapping of the section name (None: the top level), empty when absent, with no key outside known_keys."""
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise WebConfigError(f"{config_path}: {name}: not a mapping" if name else f"{config_path}: not a mapping")
    for key in value:
        if known_keys is not None and key not in known_keys:
            raise WebConfigError(f"{config_path}: {f'{name}.' if name else ''}{key}: unknown key")
    return value


def _choice(config_path: str, key: str, value: object, choices: Mapping[str, Any], default: str) -> Any:
    if value is None:
        value = default
    if not isinstance(value, str) or value not in choices:
        raise WebConfigError(f"{config_path}: tls_server_config.{key}: {value!r} is not one of {', '.join(choices)}")
    return choices[value]


def _path(config_path: str, section: dict[Any, Any], key: str) -> str | None:
    """The file named by the key, relative to the configuration file's directory."""
    value = section.get(key)
    if value is not None and not isinstance(value, str):
        raise WebConfigError(f"{config_path}: tls_server_config.{key}: not a path")
    return None if value is None else os.path.join(os.path.dirname(config_path), value)


def _tls_settings(config_path: str, section: dict[Any, Any]) -> _TlsSettings:
    client_auth_type = section.get("client_auth_type")
    if client_auth_type in _UNSUPPORTED_CLIENT_AUTH_TYPES:
        raise WebConfigError(
            # OpenSSL asks for a client certificate only to verify it against the loaded CAs.
            f"{config_path}: tls_server_config.client_auth_type: {client_auth_type} is not supported"
        )
    verify_mode = _choice(config_path, "client_auth_type", client_auth_type, _VERIFY_MODES, "NoClientCert")
    min_version = _choice(config_path, "min_version", section.get("min_version"), _MIN_VERSIONS, "TLS12")
    cert_file, key_file = _path(config_path, section, "cert_file"), _path(config_path, section, "key_file")
    if cert_file is None or key_file is None:
        raise WebConfigError(f"{config_path}: tls_server_config.{'key_file' if cert_file else 'cert_file'}: missing")
    client_ca_file = _path(config_path, section, "client_ca_file")
    if (verify_mode == ssl.CERT_NONE) != (client_ca_file is None):
        raise WebConfigError(
            f"{config_path}: tls_server_config: client_ca_file goes with client_auth_type "
            "VerifyClientCertIfGiven or RequireAndVerifyClientCert"
        )
    return _TlsSettings(config_path, cert_file, key_file, client_ca_file, verify_mode, min_version)


def _basic_auth(config_path: str, users: dict[Any, Any]) -> BasicAuth | None:
    for user, password_hash in users.items():
        if not isinstance(user, str):
            raise WebConfigError(f"{config_path}: basic_auth_users: user {user!r} is not a string: quote it")
        if not isinstance(password_hash, str) or not _BCRYPT_HASH.fullmatch(password_hash):
            raise WebConfigError(
                f"{config_path}: basic_auth_users.{user}: not a bcrypt hash as htpasswd -nBC 10 writes"
            )
    return BasicAuth(users) if users else None


def load_web_config(path: str) -> WebConfig:
    """The web configuration in the file at path; raises WebConfigError."""
    if not _dependencies_installed:
        raise WebConfigError(f"{path}: needs PyYAML and bcrypt: pip install 'hostprobe[exporter]'")
    try:
        with open(path, "rb") as file:
            text = file.read()
    except OSError as error:
        raise WebConfigError(f"{path}: {error.strerror}") from None
    try:
        document = yaml.safe_load(text)
    except yaml.YAMLError as error:
        problem, mark = getattr(error, "problem", None), getattr(error, "problem_mark", None)
        if problem and mark:
            fault = f"{problem} (line {mark.line + 1}, column {mark.column + 1})"
        else:  # PyYAML's own text, on one line
            fault = " ".join(str(error).split())
        raise WebConfigError(f"{path}: not YAML: {fault}") from None
    top = _section(path, None, document, tuple(_SECTION_KEYS))
    sections = {name: _section(path, name, top.get(name), known) for name, known in _SECTION_KEYS.items()}
    tls_settings = _tls_settings(path, sections["tls_server_config"]) if sections["tls_server_config"] else None
    basic_auth = _basic_auth(path, sections["basic_auth_users"])
    return WebConfig(_RenewedContext(tls_settings).context if tls_settings else None, basic_auth)
