"""Demo step: a rotary valve homes, visits every port, reads each back, and
shows a refusal (a move after re-zeroing) and a hardware fault (NOTOK)."""

import time

MODULES = [2]


def run(chain, drivers, report):
    (valve,) = drivers
    address = valve.instrument_number + 1
    report.say(f"{valve.name} at address {address}: identity {valve.identify()}, leader "
               f"{valve.is_leader()}, firmware {valve.get_firmware_version()!r}, homed "
               f"{valve.is_homed()}")

    estimate = valve.estimate_home_time()
    _, took = report.timed(valve.home)
    port = valve.check_position()
    report.row("valve home", f"port {port}", estimate, took, expected=port == 1)
    report.say(f"Homed in {took:.3f} s (estimate {estimate:.3f} s)")

    report.say("Visiting every port:")
    ports = list(range(2, valve.NUM_PORTS + 1)) + [1]
    for done, port in enumerate(ports, start=1):
        # Port 1 is reached by homing, so its estimate is the home time.
        estimate = valve.estimate_home_time() if port == 1 else valve.estimate_run_time(port)
        _, took = report.timed(lambda: valve.select_port(port))
        read_back = valve.check_position()
        outcome = "ok" if read_back == port else f"read back {read_back}"
        report.row(f"select_port({port})", outcome, estimate, took, expected=read_back == port)
        report.progress(done, len(ports), f"port {port:2d}: estimate {estimate:.3f} s, "
                        f"measured {took:.3f} s, read back {read_back}")

    report.say("Provoking a refusal: re-zero the valve (clears its home), then move:")
    valve.reset()
    report.expect_error("valve move after re-zero", lambda: valve.select_port(3),
                         "OrvakPositionUnknownError")
    valve.home()

    report.say("Provoking a hardware fault: the module reports NOTOK, then we move:")
    # A pause first, so that a paced replay of this run brings the report well
    # after the home's completion, as it came here.
    time.sleep(0.05)
    if chain.bench is not None:  # a replay brings the report from its recording
        chain.bench.inject_notok(address, "NOTOK motor 1")
    time.sleep(0.05)  # let the unprompted report arrive
    report.expect_error("valve move after NOTOK", lambda: valve.select_port(5),
                         "OrvakHardwareError")
    valve.select_port(5)
    report.say(f"  recovered: valve at port {valve.check_position()}")

