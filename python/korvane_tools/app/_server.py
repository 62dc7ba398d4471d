"""Serving the app: loopback by default, and an access token on every request.

The token works as a notebook server's does: the printed address carries it as
``?token=``; the first request with it gets the token back as an HttpOnly,
SameSite=Strict cookie and is redirected to the same page without it, so it
does not linger in the address bar or in a Referer. Every other request —
pages, Dash's ``_dash-*`` routes, component scripts, assets — needs that
cookie (or ``?token=``), else 403. Cookies are shared between ports of one
host, so the cookie's name carries the port: two apps never read each
other's.
"""

from __future__ import annotations

import hmac
import ipaddress
import secrets
import sys
import threading
import webbrowser
from typing import Any
from urllib.parse import quote

from flask import Flask, Response, redirect, request

TOKEN_PARAMETER = "token"


def cookie_name(port: int) -> str:
    return f"korvane_app_token_{port}"


def guard(server: Flask, token: str, port: int) -> None:
    """Refuse every request to ``server`` that does not carry ``token``."""
    cookie = cookie_name(port)

    def same(given: str | None) -> bool:
        return given is not None and hmac.compare_digest(given.encode(), token.encode())

    @server.before_request
    def _require_token() -> Any:
        if same(request.args.get(TOKEN_PARAMETER)):
            if request.method == "GET" and request.path == "/":
                response = redirect(request.path)
                response.set_cookie(cookie, token, httponly=True, samesite="Strict", path="/")
                return response
            return None
        if same(request.cookies.get(cookie)):
            return None
        return Response(
            "403 Forbidden: open the address korvane-app printed (it carries the access token).\n",
            status=403,
            mimetype="text/plain",
        )

    @server.after_request
    def _headers(response: Response) -> Response:
        # No framing by other pages, no address (or token) in a Referer, and
        # nothing loaded from anywhere but this server.
        response.headers.setdefault("X-Frame-Options", "DENY")
        response.headers.setdefault("Referrer-Policy", "no-referrer")
        response.headers.setdefault("X-Content-Type-Options", "nosniff")
        return response


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def address(host: str, port: int, token: str) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/?{TOKEN_PARAMETER}={quote(token)}"


def serve(
    make_app: Any,
    host: str,
    port: int,
    open_browser: bool,
) -> int:
    """Bind, print the address, optionally open a browser, serve until Ctrl-C.

    ``make_app(port, token)`` returns the Flask server once the port is known
    (0 asks the system for a free one).
    """
    from werkzeug.serving import make_server

    token = secrets.token_urlsafe(24)
    holder = Flask("korvane-app-placeholder")
    httpd = make_server(host, port, holder, threaded=True)
    bound = int(httpd.server_port)
    httpd.app = make_app(bound, token)
    url = address(host, bound, token)
    if not is_loopback(host):
        print(
            f"korvane-app: WARNING: serving on {host}, reachable from other machines; the "
            "connection is not encrypted and anyone with the address below can use the app.",
            file=sys.stderr,
        )
    print(f"korvane-app: serving on {url}", flush=True)
    print("korvane-app: press Ctrl-C to stop", flush=True)
    if open_browser:
        threading.Timer(0.5, webbrowser.open, args=(url,)).start()
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        print("korvane-app: stopped", flush=True)
    finally:
        httpd.server_close()
    return 0
