"""The HTTP API and the page, generated from the drivers' descriptions.

Every operation a module describes is ``POST /api/modules/{name}/{operation}``
with its parameters as a JSON object, checked against the module's own
description (types, units' limits in force, choices) before the driver is
called; the OpenAPI document at ``/api/openapi.json`` (shown at ``/docs``)
is written from the same descriptions, one path per module and operation.
Nothing here is written per kind.

- A motion answers 202 with its operation's id at once and runs on a thread
  of its own, waited (so it reports progress); ``GET /api/operations/{id}``
  follows it, ``DELETE`` stops its module.
- The stop family (``stop``, ``pause``, ``abort``) and ``POST /api/stop``
  run on a thread of their own at once: never refused as busy or locked,
  never queued behind another request in a worker pool.
- Any other operation runs on a thread of its own and answers its result;
  it is refused as busy (409) while its module is moving, rather than
  waiting for the motion's end.
- While a SiLA 2 client holds the server's lock, operations other than the
  stop family are refused (423).

Every blocking call runs on a thread started for it, so the event loop
(and with it every stop) never waits behind the chain.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import html
import json
import math
import re
import threading
import time
import urllib.parse
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

from fastapi import FastAPI, Request, WebSocket, WebSocketDisconnect
from fastapi.openapi.utils import get_openapi
from fastapi.responses import HTMLResponse, JSONResponse, Response
from fastapi.staticfiles import StaticFiles

from orvaklab._sampling import calls_for
from orvaklab.exceptions import OrvakValueError
from orvaklab.unitbase import STOP_FAMILY
from orvaklab.web.errors import WebError, error_body, jsonable, status_of
from orvaklab.web.live import Hub, pick_every

if TYPE_CHECKING:
    from orvaklab.shapes import OperationDescription, ParameterDescription
    from orvaklab.web.station import Station

__all__ = ["build_app", "check_arguments", "parameter_schema"]

STATIC = Path(__file__).with_name("static")
# Parameters the server decides: a motion is always waited (so it reports
# progress and its operation ends with the motion); elsewhere the driver's default.
_HIDDEN = frozenset({"wait"})
# Polls of 5 ms a motion's request waits for an early refusal.
_REFUSAL_WAIT = 10
# Ordinary calls running at once (stops are never counted).
_ORDINARY_CALLS = 16
# How long GET .../readings waits for a module by default.
_READ_WAIT = 1.0

_ERROR_SCHEMA = {"type": "object", "required": ["kind", "message"],
                 "properties": {"kind": {"type": "string"}, "message": {"type": "string"}}}
_ERRORS = {"400": "A bad value (nothing was sent)", "401": "No token, or a wrong one",
           "404": "No such module or operation", "409": "Refused by the module, or busy",
           "423": "A SiLA 2 client holds the server's lock", "503": "The link is down",
           "504": "The module did not answer in time"}


# ---- parameters: checked against the description ----

_WORDS = {"int": "a whole number", "float": "a number", "bool": "true or false",
          "str": "text", "None": "null"}
_LIST = re.compile(r"(?:Iterable|Sequence|list|tuple|set|frozenset)\[(\w+)\]$")


def _alternatives(type_text: str) -> list[tuple[str, str | None]]:
    """"int | str" -> [("int", None), ("str", None)]; "Iterable[int]" ->
    [("list", "int")]. An unknown type is ("any", None)."""
    found: list[tuple[str, str | None]] = []
    for part in type_text.split("|"):
        part = part.strip()
        listed = _LIST.match(part)
        if listed:
            found.append(("list", listed.group(1)))
        elif part in _WORDS:
            found.append((part, None))
        else:
            found.append(("any", None))
    return found


def _shown(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return f"text {value!r}"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "an object"
    return repr(value)


def _number(value: float) -> str:
    return f"{value:g}"


def _limits_text(parameter: ParameterDescription) -> str:
    low, high, unit = parameter["minimum"], parameter["maximum"], parameter["unit"]
    if low is not None and high is not None:
        text = f"{_number(low)} to {_number(high)}"
    elif low is not None:
        text = f"at least {_number(low)}"
    else:
        text = f"at most {_number(high or 0.0)}"
    return f"{text} {unit}".rstrip()


class _Refusal(Exception):
    def __init__(self, error: Exception) -> None:
        self.error = error


def _typed(value: Any, kind: str, inner: str | None) -> Any:
    """`value` as `kind`, or raises _Refusal(None) when it is not one."""
    if kind == "any":
        return value
    if kind == "None":
        if value is None:
            return None
    elif kind == "bool":
        if isinstance(value, bool):
            return value
    elif kind == "str":
        if isinstance(value, str):
            return value
    elif kind in ("int", "float") and isinstance(value, (int, float)) \
            and not isinstance(value, bool):
        if isinstance(value, float) and not math.isfinite(value):
            raise _Refusal(OrvakValueError("must be a finite number"))
        if kind == "float":
            try:
                return float(value)
            except OverflowError:  # an integer beyond any float
                raise _Refusal(OrvakValueError("must be a finite number")) from None
        if isinstance(value, int) or value.is_integer():
            return int(value)
    elif kind == "list" and isinstance(value, list):
        return [_one(item, [(inner or "any", None)]) for item in value]
    raise _Refusal(TypeError())


def _one(value: Any, alternatives: list[tuple[str, str | None]]) -> Any:
    last: _Refusal | None = None
    for kind, inner in alternatives:
        try:
            return _typed(value, kind, inner)
        except _Refusal as refusal:
            last = refusal if last is None or isinstance(refusal.error, OrvakValueError) else last
    raise last or _Refusal(TypeError())


def _in_limits(value: Any, parameter: ParameterDescription) -> bool:
    if isinstance(value, list):
        return all(_in_limits(item, parameter) for item in value)
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return True
    low, high = parameter["minimum"], parameter["maximum"]
    return (low is None or value >= low) and (high is None or value <= high)


def check_arguments(module: str, driver_name: str, operation: OperationDescription,
                    given: Mapping[str, Any]) -> dict[str, Any]:
    """The keyword arguments for calling `operation`, from JSON values,
    checked against its description: a missing or unknown parameter or a
    value of the wrong type is a TypeError, a value outside the limits in
    force or the choices an OrvakValueError; the message names the module,
    the operation and the parameter. Nothing is called."""
    where = f"{module} ({driver_name}): {operation['name']}()"
    parameters = {p["name"]: p for p in operation["parameters"] if p["name"] not in _HIDDEN}
    unknown = [name for name in given if name not in parameters]
    if unknown:
        known = ", ".join(parameters) or "none"
        raise TypeError(f"{where} has no parameter {unknown[0]!r} (its parameters: {known})")
    arguments: dict[str, Any] = {}
    for name, parameter in parameters.items():
        if name not in given:
            if parameter["required"]:
                raise TypeError(f"{where} needs {name}"
                                + (f" ({parameter['unit']})" if parameter["unit"] else ""))
            continue
        value = given[name]
        alternatives = _alternatives(parameter["type"])
        try:
            value = _one(value, alternatives)
        except _Refusal as refusal:
            if isinstance(refusal.error, OrvakValueError):
                raise OrvakValueError(f"{where} {name} {refusal.error} (got {value!r})") from None
            wanted = " or ".join(
                f"a list of {_WORDS.get(inner or '', 'values')}" if kind == "list"
                else _WORDS.get(kind, kind) for kind, inner in alternatives)
            raise TypeError(f"{where} {name} must be {wanted}, not {_shown(value)}") from None
        if parameter["choices"] and value not in parameter["choices"]:
            choices = ", ".join(repr(choice) for choice in parameter["choices"])
            raise OrvakValueError(f"{where} {name} must be one of {choices} (got {value!r})")
        if not _in_limits(value, parameter):
            raise OrvakValueError(f"{where} {name} must be {_limits_text(parameter)} "
                                  f"(got {value!r})")
        arguments[name] = value
    return arguments


# ---- the OpenAPI document ----

_SCHEMA_TYPES = {"int": "integer", "float": "number", "bool": "boolean", "str": "string",
                 "None": "null"}


def _type_schema(kind: str, inner: str | None, parameter: ParameterDescription) -> dict[str, Any]:
    if kind == "any":
        return {}
    if kind == "list":
        return {"type": "array", "items": _type_schema(inner or "any", None, parameter)}
    schema: dict[str, Any] = {"type": _SCHEMA_TYPES[kind]}
    if kind in ("int", "float"):
        if parameter["minimum"] is not None:
            schema["minimum"] = parameter["minimum"]
        if parameter["maximum"] is not None:
            schema["maximum"] = parameter["maximum"]
    return schema


def parameter_schema(parameter: ParameterDescription) -> dict[str, Any]:
    """A parameter's JSON schema: its type, limits in force, choices,
    default and unit."""
    alternatives = [_type_schema(kind, inner, parameter)
                    for kind, inner in _alternatives(parameter["type"])]
    schema: dict[str, Any] = alternatives[0] if len(alternatives) == 1 else {
        "anyOf": alternatives}
    if parameter["choices"]:
        schema = {"enum": list(parameter["choices"])}
    if not parameter["required"]:
        schema["default"] = parameter["default"]
    if parameter["unit"]:
        schema["description"] = f"in {parameter['unit']}"
        schema["x-unit"] = parameter["unit"]
    return schema


def _operation_path(name: str, driver_name: str, operation: OperationDescription
                    ) -> dict[str, Any]:
    parameters = [p for p in operation["parameters"] if p["name"] not in _HIDDEN]
    motion = operation["kind"] == "motion"
    body = {"type": "object", "additionalProperties": False,
            "properties": {p["name"]: parameter_schema(p) for p in parameters}}
    required = [p["name"] for p in parameters if p["required"]]
    if required:
        body["required"] = required
    responses: dict[str, Any] = {}
    if motion:
        responses["202"] = {"description": "Started; follow it at /api/operations/{id}",
                            "content": {"application/json": {"schema": {
                                "$ref": "#/components/schemas/Started"}}}}
    else:
        responses["200"] = {"description": f"Its result ({operation['result']['type']}"
                                           + (f", {operation['result']['unit']}"
                                              if operation["result"]["unit"] else "") + ")",
                            "content": {"application/json": {"schema": {
                                "$ref": "#/components/schemas/Result"}}}}
    for code, text in _ERRORS.items():
        responses[code] = {"description": text, "content": {"application/json": {"schema": {
            "$ref": "#/components/schemas/Error"}}}}
    kind = {"motion": "Motion: answers 202 at once, stopped by DELETE /api/operations/{id}.",
            "query": "Query.", "setting": "Setting.", "action": "Action."}[operation["kind"]]
    return {"post": {
        "tags": [name], "operationId": f"{name}__{operation['name']}",
        "summary": operation["doc"].split(". ")[0][:120],
        "description": f"{driver_name}. {operation['doc']}\n\n{kind}",
        "requestBody": {"required": bool(required), "content": {
            "application/json": {"schema": body}}},
        "responses": responses}}


def openapi_document(app: FastAPI, station: Station) -> dict[str, Any]:
    document = get_openapi(title=app.title, version=app.version, description=app.description,
                           routes=app.routes)
    components = document.setdefault("components", {})
    schemas = components.setdefault("schemas", {})
    schemas["Error"] = _ERROR_SCHEMA
    schemas["Started"] = {"type": "object", "required": ["id"],
                          "properties": {"id": {"type": "string"},
                                         "operation": {"type": "object"}}}
    schemas["Result"] = {"type": "object", "required": ["result"],
                         "properties": {"result": {}}}
    components["securitySchemes"] = {
        "token": {"type": "apiKey", "in": "query", "name": "token"},
        "header": {"type": "apiKey", "in": "header", "name": "Authorization",
                   "description": "Authorization: token <the token>"}}
    document["security"] = [{"token": []}, {"header": []}]
    paths = document.setdefault("paths", {})
    for name, driver in station.modules.items():
        for operation in driver.describe()["operations"]:
            paths[f"/api/modules/{name}/{operation['name']}"] = _operation_path(
                name, driver.name, operation)
    return document


# ---- the application ----


async def on_thread(call: Callable[[], Any], name: str = "orvaklab.web.call") -> Any:
    """Runs `call` on a thread started for it: never behind another call."""
    loop = asyncio.get_running_loop()
    future: asyncio.Future[Any] = loop.create_future()

    def settle(outcome: Callable[[], None]) -> None:
        if not future.done():
            outcome()

    def run() -> None:
        try:
            result = call()
        except BaseException as error:  # noqa: BLE001 - handed to the awaiting request
            failure = error
            loop.call_soon_threadsafe(settle, lambda: future.set_exception(failure))
        else:
            loop.call_soon_threadsafe(settle, lambda: future.set_result(result))

    threading.Thread(target=run, name=name, daemon=True).start()
    return await future


def _failure(error: BaseException) -> JSONResponse:
    return JSONResponse(error_body(error), status_of(error))


def build_app(station: Station, hub: Hub, token: str, *,
              locked: Callable[[], bool] | None = None, title: str | None = None) -> FastAPI:
    """The FastAPI application of one station (its token is checked by the
    server's guard, which wraps it)."""
    from orvaklab.cli import _version

    app = FastAPI(title=title or f"orvaklab: {station.title}", version=_version(),
                  description="A chain of modules: its operations, readings and stop, "
                              "generated from the drivers' descriptions. Every request needs "
                              "the token: ?token=... or the header Authorization: token ...",
                  openapi_url=None, docs_url=None, redoc_url=None)
    modules = station.modules
    # Ordinary calls (not stops) run at most this many at once, the others
    # waiting on the event loop: a flood of requests cannot fill the process
    # with threads that contend for the interpreter while a stop goes out.
    ordinary = asyncio.Semaphore(_ORDINARY_CALLS)

    def module(name: str) -> Any:
        driver = modules.get(name)
        if driver is None:
            raise WebError(404, "NoSuchModule",
                           f"no module {name!r} (modules: {', '.join(modules)})")
        return driver

    def about(name: str) -> dict[str, Any]:
        from orvaklab.status import _position
        from orvaklab.unitgroup import KINDS

        driver: Any = modules[name]  # every kind's driver has its type code
        kind = KINDS.get(int(driver.instrument_id_number))
        names = getattr(driver, "port_names", None)
        return {"name": name, "kind": kind.display_name if kind else driver.name,
                "type_code": int(driver.instrument_id_number),
                "address": int(driver.instrument_number) + 1, "state": hub.state(name),
                "position": _position(driver)[0],
                "ports": {str(k): v for k, v in names.items()} if names else None,
                "description": driver.describe()}

    @app.exception_handler(WebError)
    async def refused(request: Request, error: WebError) -> JSONResponse:
        return _failure(error)

    @app.exception_handler(404)
    async def not_found(request: Request, error: Exception) -> JSONResponse:
        return JSONResponse({"kind": "NotFound", "message": f"no such path: {request.url.path}"},
                            404)

    @app.get("/", include_in_schema=False)
    async def page() -> HTMLResponse:
        text = (STATIC / "index.html").read_text(encoding="utf-8")
        return _html(text.replace("{{token}}", html.escape(urllib.parse.quote(token, safe="")))
                     .replace("{{title}}", html.escape(station.title)), own=True)

    @app.get("/docs", include_in_schema=False)
    async def docs() -> HTMLResponse:
        text = (STATIC / "docs.html").read_text(encoding="utf-8")
        return _html(text.replace("{{token}}", html.escape(urllib.parse.quote(token, safe="")))
                     .replace("{{title}}", html.escape(app.title)), own=False)

    @app.get("/api/openapi.json", include_in_schema=False)
    async def openapi() -> JSONResponse:
        async with ordinary:
            return JSONResponse(await on_thread(lambda: openapi_document(app, station)))

    @app.get("/api/modules", tags=["chain"],
             summary="The modules, in chain order, with their descriptions")
    async def list_modules() -> JSONResponse:
        return JSONResponse(jsonable([about(name) for name in modules]))

    @app.get("/api/modules/{name}", tags=["chain"], summary="One module and its description")
    async def one_module(name: str) -> JSONResponse:
        module(name)
        return JSONResponse(jsonable(about(name)))

    @app.get("/api/modules/{name}/readings", tags=["chain"],
             summary="Reads a module's readings (at most `timeout` s for a busy module)")
    async def readings(name: str, timeout: float = _READ_WAIT) -> JSONResponse:
        driver = module(name)
        if not (math.isfinite(timeout) and 0.0 <= timeout <= 60.0):
            raise WebError(400, "OrvakValueError", "timeout is 0 to 60 seconds")
        reader = station.reader(name)
        calls = calls_for(name, driver)
        pending = reader.read(calls) if station.connection_state == "connected" else None
        outcome = None
        if pending is not None:
            try:
                outcome = await asyncio.wait_for(asyncio.shield(asyncio.wrap_future(pending)),
                                                 timeout)
            except (asyncio.TimeoutError, concurrent.futures.CancelledError):
                outcome = None
        values = {}
        last = reader.last
        now = time.monotonic()
        for call in calls:
            for reading, _, _ in call.picks:
                known = last.get(reading.name)
                values[reading.name] = {
                    "value": None if known is None else jsonable(known[0]),
                    "unit": reading.unit,
                    "age": None if known is None else round(now - known[1], 3)}
        return JSONResponse({
            "module": name, "fresh": outcome is not None and not outcome.errors
            and not outcome.fault, "fault": bool(outcome and outcome.fault),
            "errors": {call.text: str(error) for call, error in outcome.errors.items()}
            if outcome else {},
            "readings": values})

    @app.get("/api/status", tags=["chain"],
             summary="Where every module stands (as bench.status())")
    async def status(timeout: float = 0.5) -> JSONResponse:
        if not (math.isfinite(timeout) and 0.0 <= timeout <= 10.0):
            raise WebError(400, "OrvakValueError", "timeout is 0 to 10 seconds")
        async with ordinary:
            taken = await on_thread(lambda: station.status(timeout))
        return JSONResponse(jsonable(taken.as_dict()))

    @app.post("/api/stop", tags=["chain"], summary="Stops every module at once")
    async def stop_all() -> JSONResponse:
        names = list(modules)
        hub.stopped(names)
        try:
            await on_thread(station.stop_all, "orvaklab.web.stop_all")
        except Exception as error:  # noqa: BLE001 - answered
            return _failure(error)
        return JSONResponse({"stopped": names})

    @app.get("/api/operations/{identifier}", tags=["chain"],
             summary="A long operation: state, progress, remaining time, result or error")
    async def follow(identifier: str) -> JSONResponse:
        return JSONResponse(hub.operation(identifier).as_dict())

    @app.delete("/api/operations/{identifier}", tags=["chain"],
                summary="Cancels a long operation: stops its module")
    async def cancel(identifier: str) -> JSONResponse:
        record = hub.operation(identifier)
        if record.state != "running":
            raise WebError(409, "NotRunning",
                           f"operation {identifier} has ended ({record.state})")
        hub.stopped([record.module])
        try:
            await on_thread(modules[record.module].stop, "orvaklab.web.cancel")
        except Exception as error:  # noqa: BLE001 - answered
            return _failure(error)
        for _ in range(100):  # its wait ends within a poll interval of the stop
            if record.state != "running":
                break
            await asyncio.sleep(0.01)
        return JSONResponse(record.as_dict())

    @app.post("/api/modules/{name}/{operation}", include_in_schema=False)
    async def call(name: str, operation: str, request: Request) -> Response:
        driver = module(name)
        described = next((op for op in driver.describe()["operations"]
                          if op["name"] == operation), None)
        if described is None:
            raise WebError(404, "NoSuchOperation",
                           f"{name} ({driver.name}) has no operation {operation!r}")
        raw = await request.body()
        try:
            given = json.loads(raw) if raw.strip() else {}
        except ValueError as error:
            raise WebError(400, "BadRequest", f"the body is not JSON: {error}") from None
        except RecursionError:
            raise WebError(400, "BadRequest", "the body is nested too deeply") from None
        if not isinstance(given, dict):
            raise WebError(400, "BadRequest", "the body is a JSON object of parameters")
        method = getattr(driver, operation)
        try:
            arguments = check_arguments(name, driver.name, described, given)
        except (TypeError, OrvakValueError) as error:
            return _failure(error)
        if operation in STOP_FAMILY:
            hub.stopped([name])
            try:
                return JSONResponse({"result": jsonable(await on_thread(
                    lambda: method(**arguments), f"orvaklab.web.{operation}"))})
            except Exception as error:  # noqa: BLE001 - answered
                return _failure(error)
        if locked is not None and locked():
            raise WebError(423, "Locked", "a SiLA 2 client holds the server's lock: the page "
                                          "and the API may only stop modules until it unlocks")
        busy = hub.busy(name)
        if busy is not None:
            raise WebError(409, "Busy", f"{busy}; stop it or wait for its end")
        if described["kind"] == "motion":
            if any(p["name"] == "wait" for p in described["parameters"]):
                arguments["wait"] = True
            record = hub.launch(name, operation, arguments, lambda: method(**arguments))
            # A value the driver refuses (before anything is sent) or a command
            # the module refuses fails within milliseconds, having moved
            # nothing: answered as that failure, not as started.
            for _ in range(_REFUSAL_WAIT):
                if record.state != "running":
                    break
                await asyncio.sleep(0.005)
            if record.state == "failed" and record.failure is not None:
                return _failure(record.failure)
            return JSONResponse({"id": record.id, "operation": record.as_dict()}, 202,
                                headers={"Location": f"/api/operations/{record.id}"})
        try:
            async with ordinary:
                result = await on_thread(lambda: method(**arguments),
                                         f"orvaklab.web.{operation}")
        except Exception as error:  # noqa: BLE001 - answered
            return _failure(error)
        return JSONResponse({"result": jsonable(result)})

    @app.websocket("/api/events")
    async def events(socket: WebSocket) -> None:
        try:
            every = pick_every(socket.query_params.get("every"))
        except WebError:
            await socket.close(code=1008)
            return
        await socket.accept()
        subscriber = hub.subscribe(asyncio.get_running_loop(), every)

        async def send() -> None:
            while True:
                message = await subscriber.queue.get()
                if message["type"] == "bye":
                    await socket.close(1001)  # going away: the server is closing
                    return
                await socket.send_text(json.dumps(message, default=str))

        async def receive() -> None:
            while True:
                await socket.receive_text()

        tasks = [asyncio.ensure_future(send()), asyncio.ensure_future(receive())]
        try:
            await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        except WebSocketDisconnect:
            pass
        finally:
            hub.unsubscribe(subscriber)
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

    app.mount("/static", StaticFiles(directory=STATIC), name="static")
    return app


def _html(text: str, own: bool) -> HTMLResponse:
    headers = {"Cache-Control": "no-store", "Referrer-Policy": "no-referrer",
               "X-Content-Type-Options": "nosniff"}
    if own:  # the page runs no inline script and loads nothing from elsewhere
        headers["Content-Security-Policy"] = (
            "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data:; "
            "style-src 'self' 'unsafe-inline'; base-uri 'none'; form-action 'none'")
    return HTMLResponse(text, headers=headers)

