"""The README's main job is a scenario too: the sample product's walk-through must end with every
step as expected and nothing of the product left."""

import subprocess
import sys

import winebed


def test_main_job_walks_the_sample_product_through_its_life():
    proc = subprocess.run([sys.executable, str(winebed.ROOT / "scripts" / "run_setup.py")],
                          capture_output=True, text=True, timeout=600)
    out = proc.stdout
    assert proc.returncode == 0, out[-3000:] + proc.stderr[-2000:]
    for step in ("== 1. Install silently", "== 2. Install again over itself",
                 "== 3. Restart (simulated)", "== 4. Uninstall through", "== 5. What is left"):
        assert step in out
    assert "SampleInstalled    REG_SZ    installed " in out
    assert '<REGVAL NAME="HKLM\\Software\\Vesk\\Zrv\\CurrentVersion\\Common\\SampleInstalled" />' in out
    assert out.rstrip().endswith("== Result: every step as expected")
