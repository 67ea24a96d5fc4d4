"""The proxy tests' MCP server (mcp_tools_server.py) with one more tool,
"keep", that asks the client's user itself before it runs: by an
input-required result on 2026-07-28, by a request to the client before."""

import json
import os
from typing import Annotated

from mcp.server.mcpserver import Elicit, Resolve
from mcp_tools_server import server
from pydantic import BaseModel


class Confirm(BaseModel):
    sure: bool


def confirmation(text: str) -> Elicit[Confirm]:
    return Elicit(f"Really keep the note {text!r}?", Confirm)


@server.tool()
def keep(text: str, confirm: Annotated[Confirm, Resolve(confirmation)]) -> str:
    with open(os.environ["TOOL_CALLS"], "a") as calls:
        calls.write(json.dumps({"tool": "keep", "text": text, "sure": confirm.sure}) + "\n")
    return f"kept {text!r}" if confirm.sure else "not kept"


if __name__ == "__main__":
    server.run("stdio")
