"""A first look at korvane: what the package offers."""

import korvane
import korvane.aio
import korvane.tools.list_ports

print(f"korvane {korvane.__version__}")
print("names:", ", ".join(korvane.__all__))
print("korvane.aio:", ", ".join(korvane.aio.__all__) or "(nothing yet)")
print("korvane.tools.list_ports:", ", ".join(korvane.tools.list_ports.__all__) if hasattr(korvane.tools.list_ports, "__all__") else "(nothing yet)")
print("standard baud rates:", ", ".join(str(int(b)) for b in korvane.Baudrate))
