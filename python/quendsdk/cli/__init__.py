"""The machinery every command shares; the commands themselves are in quendsdk.commands."""
