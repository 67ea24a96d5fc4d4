"""An MCP server for the proxy's tests, made with the mcp SDK: a charge tool
and a write tool, each appending every call it receives to the file named
by the environment variable TOOL_CALLS, one JSON line per call."""

import json
import os

from mcp.server.mcpserver import MCPServer

server = MCPServer("ledger")


def _received(tool: str, arguments: dict) -> None:
    with open(os.environ["TOOL_CALLS"], "a") as calls:
        calls.write(json.dumps({"tool": tool, **arguments}) + "\n")


@server.tool()
def charge(amount: float, currency: str, payee: str) -> str:
    _received("charge", {"amount": amount, "currency": currency, "payee": payee})
    return f"charged {amount} {currency} to {payee}"


@server.tool()
def write(bucket: str, path: str, text: str) -> str:
    _received("write", {"bucket": bucket, "path": path, "text": text})
    return f"wrote {len(text)} characters to {bucket}/{path}"


if __name__ == "__main__":
    server.run("stdio")
