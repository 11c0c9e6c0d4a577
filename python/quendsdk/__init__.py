# The native module is quendsdk.tablora; keep this file free of imports.
