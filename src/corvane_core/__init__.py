"""Native host helpers of the VM manager.

The extension module ``corvane_core._ffi`` holds the QMP client, the
Firecracker API client and the sparse disk-image helpers. It is private: the
manager's public Python code wraps it.
"""
