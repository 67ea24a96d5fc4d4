"""Where decisions are enforced and recorded: the guard on a function
(`guarding`), the chained decision log (`decision_log`) and the proxy in front
of an MCP server (`mcp_proxy`).

These modules build on the policy (``quindle_brevault_agent._impl``) and never
on the command line. Nothing is imported here, so that importing one of them
loads only what it needs.
"""
