"""The companion controller (`python3 -m gallion.companion`, `gallion-companion`) and the
demonstration behind `./run.sh --demo` (`python3 -m gallion.companion.demo`, `gallion-demo`)."""
