#!/usr/bin/python3
"""The compatibility suite with Alt+E repeated RUNS times per program after its rows: prints the time from
Alt+E to the provider's request (p50, p95) per program, and on sway the first card after start (each
program's first row, the program started just before). Run by bench/compat_bench inside a private session.

Usage: compat_bench.py --build BUILD_DIR [--wayland] [--only NAME,...] [--runs RUNS]
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "compat"))
import compat_test  # noqa: E402


class BenchSuite(compat_test.Suite):
    def __init__(self, args, session):
        super().__init__(args, session)
        self.samples, self.names = {}, []

    def press(self):
        text, elapsed = super().press()
        if elapsed is not None:
            for name in self.names:
                self.samples.setdefault(name, []).append(elapsed)
        return text, elapsed

    def case(self, program, window, number, case, expected, recorder):
        first = number == 0 and self.session.name == "sway"
        self.names = [program.name] + (["first_card_request"] if first else [])
        super().case(program, window, number, case, expected, recorder)
        if number == len(program.cases) - 1:
            self.names = [program.name]
            for _ in range(self.args.runs):
                self.select(program, window, program.cases[0][0])
                self.press()
                time.sleep(0.3)
                self.session.close_card(self.ulvo.pid)

    def report(self):
        print(f"machine: {machine()}")
        for name, values in sorted(self.samples.items()):
            values = sorted(values)
            prefix = f"compat_{self.session.name}_{name.replace('-', '_')}"
            if name != "first_card_request":
                prefix += "_alt_e_to_request"
            print(f"{prefix}_runs: {len(values)}")
            print(f"{prefix}_p50: {quantile(values, 0.5):.0f} ms")
            print(f"{prefix}_p95: {quantile(values, 0.95):.0f} ms")
        return super().report()


def quantile(values, q):
    return values[min(len(values) - 1, int(q * (len(values) - 1) + 0.5))] if values else 0


def machine():
    models = [line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")]
    return f"{models[0] if models else 'unknown CPU'}, {os.cpu_count()} cores"


if __name__ == "__main__":
    parser = compat_test.arguments()
    parser.add_argument("--runs", type=int, default=10)
    sys.exit(compat_test.main(BenchSuite, parser))
