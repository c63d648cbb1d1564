#!/usr/bin/python3
"""Checks framegrab's /metrics against its /stats.json of the same moment.

The exposition is read by prometheus_client's own parser; every family must come once, with its
HELP and a counter or gauge TYPE, every sample the camera's address as its `camera` label, and
each value must equal its field of the JSON (seconds there where the JSON has milliseconds).
Every sample must be one of those below, and each of those must be there. A station's JSON has
a run for each camera, and its two gauges of the whole station have no labels.

usage: check_metrics.py METRICS.txt STATS.json     (exit 0 when all holds, 1 with the reasons)
"""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families


def expected(stats):
    """(sample name, extra labels) -> the value the JSON says it must have."""
    s = stats["summary"]
    ms = lambda v: v / 1000
    want = {
        ("framegrab_info", (("local", stats["local"]), ("version", stats["version"]))): 1,
        ("framegrab_running", ()): 1 if s["ended_by"] == "running" else 0,
        ("framegrab_requested_images", ()): s["requested_images"],
        ("framegrab_images_total", (("result", "complete"),)): s["complete_images"],
        ("framegrab_images_total", (("result", "incomplete"),)): s["incomplete_images"],
        ("framegrab_elapsed_seconds", ()): ms(s["elapsed_ms"]),
        ("framegrab_images_per_second", ()): s["images_per_s"],
        ("framegrab_image_time_median_seconds", ()): ms(s["image_time_median_ms"]),
        ("framegrab_image_time_p99_seconds", ()): ms(s["image_time_p99_ms"]),
        ("framegrab_image_time_max_seconds", ()): ms(s["image_time_max_ms"]),
        ("framegrab_stream_expected_packets_total", ()): s["stream_expected_packets"],
        ("framegrab_stream_packets_total", ()): s["stream_packets"],
        ("framegrab_missing_after_stream_packets_total", ()): s["missing_after_stream_packets"],
        ("framegrab_missing_after_stream_ratio", ()): s["missing_after_stream_share"],
        ("framegrab_fetched_again_packets_total", ()): s["fetched_again_packets"],
        ("framegrab_recovery_time_median_seconds", ()): ms(s["recovery_time_median_ms"]),
        ("framegrab_recovery_time_max_seconds", ()): ms(s["recovery_time_max_ms"]),
        ("framegrab_duplicate_packets_total", ()): s["duplicate_packets"],
        ("framegrab_conflicting_packets_total", ()): s["conflicting_packets"],
        ("framegrab_saturated_samples_total", ()): s["saturated_samples"],
        ("framegrab_zero_samples_total", ()): s["zero_samples"],
        ("framegrab_cpu_seconds_total", (("mode", "user"),)): ms(s["cpu_user_ms"]),
        ("framegrab_cpu_seconds_total", (("mode", "system"),)): ms(s["cpu_system_ms"]),
        ("framegrab_receive_buffer_bytes", ()): s["receive_buffer_bytes"],
        ("framegrab_pictures_total", (("result", "saved"),)): s["saved_pictures"],
        ("framegrab_pictures_total", (("result", "unsaved"),)): s["unsaved_pictures"],
        ("framegrab_pictures_total", (("result", "failed"),)): s["failed_pictures"],
        ("framegrab_outages_total", ()): s["outages"],
        ("framegrab_outage_seconds_total", ()): ms(s["outage_total_ms"]),
        ("framegrab_diagnoses", ()): len(s["diagnoses"]),
        ("framegrab_exit_status", ()): s["exit_status"],
    }
    for name, value in s["driver"].items():
        want[(f"framegrab_driver_{name}_total", ())] = value
    if s["kernel_dropped_packets"] is not None:
        want[("framegrab_kernel_dropped_packets_total", ())] = s["kernel_dropped_packets"]
    if stats["images"]:
        latest = stats["images"][-1]
        want[("framegrab_latest_image_number", ())] = latest["image"]
        for statistic in ("min", "max", "mean", "standard_deviation"):
            key = ("framegrab_latest_image_sample_value", (("statistic", statistic),))
            want[key] = latest["samples"][statistic]
    return want


def expected_all(stats):
    """(camera or None, sample name, extra labels) -> value, for a run's JSON or a station's."""
    if "cameras" not in stats:
        return {(stats["camera"],) + key: value for key, value in expected(stats).items()}
    want = {
        (None, "framegrab_station_cameras", ()): len(stats["cameras"]),
        (None, "framegrab_station_exit_status", ()): stats["station"]["exit_status"],
    }
    for run in stats["cameras"]:
        want.update({(run["camera"],) + key: value for key, value in expected(run).items()})
    return want


def main(metrics_path, stats_path):
    with open(metrics_path, encoding="utf-8") as f:
        text = f.read()
    with open(stats_path, encoding="utf-8") as f:
        stats = json.load(f)
    want = expected_all(stats)
    problems = []
    seen = set()
    families = set()
    for family in text_string_to_metric_families(text):
        if family.name in families:
            problems.append(f"{family.name}: a second time")
        families.add(family.name)
        if family.type not in ("counter", "gauge"):
            problems.append(f"{family.name}: type {family.type}")
        if not family.documentation:
            problems.append(f"{family.name}: no HELP")
        for sample in family.samples:
            labels = dict(sample.labels)
            camera = labels.pop("camera", None)
            key = (camera, sample.name, tuple(sorted(labels.items())))
            seen.add(key)
            if key not in want:
                problems.append(f"{key}: not expected")
            elif sample.value != want[key]:
                problems.append(f"{key}: {sample.value!r}, the JSON says {want[key]!r}")
    problems += [f"{key}: missing" for key in want if key not in seen]
    for problem in problems:
        print(problem)
    print(f"{len(seen)} samples, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
