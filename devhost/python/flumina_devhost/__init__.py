"""flumina's development host for tests and benchmarks.

`DevHost` runs flumina-host as a child process; `start_for_clients` and
`host_for_clients` start one that the clients (libflumina, the android bridge)
reach; `ClientsPortFile` is the clients' port file, put back as it was. The
pytest plugin (`flumina_devhost.pytest_plugin`, found by pytest through its
entry point) gives tests the fixture `flumina_host`.
"""

from .launcher import DevHost, default_binary, host_for_clients, start_for_clients
from .port_file import PORT_FILE, ClientsPortFile

__all__ = ["PORT_FILE", "ClientsPortFile", "DevHost", "default_binary", "host_for_clients", "start_for_clients"]
