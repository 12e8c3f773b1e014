"""The peer engines, each holding the decision that the reference policy's
deny rules make (and the deny rules of the rule-count series), written in
that engine's own policy language and prepared once, as a user would.

Each peer is a callable object: peer(event_type, fields) returns True when
the event is denied. The engine's context and configuration values (CONTEXT,
CONFIG) are given to each peer the way that engine expects stored data:
entity attributes for cedarpy, a request attribute for casbin, base data
for regopy.

The rate limit and the state machine of the reference policy are stateful
and have no counterpart in these engines; the event stream never triggers
them (agree.py checks every decision before any timing).
"""
import json

from workload import CONFIG, CONTEXT, scale_rule_parts

# --- cedarpy -------------------------------------------------------------------

CEDAR_REFERENCE = r"""
permit(principal, action, resource);

forbid(principal, action == Action::"tool_call", resource)
when { context.tool == "shell" && context.args.command like "*rm -rf*" };

forbid(principal, action == Action::"tool_call", resource)
when { ["http_request", "fetch"].contains(context.tool) && !(context.args.url like "https://*") };

forbid(principal, action == Action::"tool_call", resource)
when { context.args.url like "*.onion" };

forbid(principal, action == Action::"data_access", resource)
when { context.tags.contains("pii") && context.user != principal.owner };

forbid(principal, action == Action::"data_access", resource)
when { context.size > principal.max_rows };

forbid(principal, action == Action::"message", resource)
when { context.args.text like "*BEGIN PRIVATE KEY*" };

forbid(principal, action == Action::"message", resource)
when { context.args.recipient like "*@rival.example" };

forbid(principal, action == Action::"file_write", resource)
when { context.args.path like "/etc/*" };

forbid(principal, action == Action::"file_write", resource)
when { context.args.path == "/root/.ssh/authorized_keys" };

forbid(principal, action, resource)
when { principal.blocked_users.contains(context.user) };
"""


def scale_text(n, first, rule):
    """The rule-count series' policy of `n` rules as text: `first`, then one
    line per rule, ``rule(event_type, k)``."""
    return "\n".join([first] + [rule(event_type, k) for _, event_type, k in scale_rule_parts(n)])


def cedar_scale(n):
    return scale_text(n, "permit(principal, action, resource);", lambda event_type, k: (
        f'forbid(principal, action == Action::"{event_type}", resource)\n'
        f'when {{ context.tool == "tool_{k}" && context.args.path like "/srv/{k}/*" }};'))


class Cedar:
    name = "cedarpy"

    def __init__(self, policy_text):
        import cedarpy

        self._is_authorized = cedarpy.is_authorized
        self._policies = cedarpy.PolicySet.from_str(policy_text)
        attrs = dict(CONTEXT)
        attrs.update(CONFIG)
        entity = {"uid": {"type": "Agent", "id": "guard"}, "attrs": attrs, "parents": []}
        self._entities = cedarpy.Entities.from_json_str(json.dumps([entity]))
        self._allow = cedarpy.Decision.Allow

    def __call__(self, event_type, fields):
        request = {"principal": 'Agent::"guard"', "action": f'Action::"{event_type}"',
                   "resource": 'Tool::"call"', "context": fields}
        return self._is_authorized(request, self._policies, self._entities).decision != self._allow


# --- casbin (ABAC: one policy row per rule, evaluated by eval()) ----------------

CASBIN_MODEL = """
[request_definition]
r = sub, act, env

[policy_definition]
p = sub_rule, act, eft

[policy_effect]
e = some(where (p.eft == allow)) && !some(where (p.eft == deny))

[matchers]
m = (p.act == "*" || r.act == p.act) && eval(p.sub_rule)
"""

CASBIN_REFERENCE = [
    ("r.sub.tool == 'shell' and 'rm -rf' in r.sub.args.command", "tool_call"),
    ("r.sub.tool in ['http_request', 'fetch'] and not r.sub.args.url.startswith('https://')", "tool_call"),
    ("r.sub.args.url.endswith('.onion')", "tool_call"),
    ("'pii' in r.sub.tags and r.sub.user != r.env.owner", "data_access"),
    ("r.sub.size > r.env.max_rows", "data_access"),
    ("'BEGIN PRIVATE KEY' in r.sub.args.text", "message"),
    ("r.sub.args.recipient.endswith('@rival.example')", "message"),
    ("r.sub.args.path.startswith('/etc/')", "file_write"),
    ("r.sub.args.path == '/root/.ssh/authorized_keys'", "file_write"),
    ("r.sub.user in r.env.blocked_users", "*"),
]


def casbin_scale(n):
    return [(f"r.sub.tool == 'tool_{k}' and r.sub.args.path.startswith('/srv/{k}/')", event_type)
            for _, event_type, k in scale_rule_parts(n)]


class Casbin:
    name = "casbin"

    def __init__(self, rows):
        import casbin

        model = casbin.model.Model()
        model.load_model_from_text(CASBIN_MODEL)
        self._enforcer = casbin.Enforcer(model)
        self._enforcer.add_policy("True", "*", "allow")
        self._enforcer.add_policies([[rule, act, "deny"] for rule, act in rows])
        self._env = dict(CONTEXT)
        self._env.update(CONFIG)

    def __call__(self, event_type, fields):
        return not self._enforcer.enforce(fields, event_type, self._env)


# --- regopy (a Rego module compiled once into a bundle) -------------------------

REGO_REFERENCE = r"""
package guard

deny if { input.type == "tool_call"; input.fields.tool == "shell"; contains(input.fields.args.command, "rm -rf") }
deny if {
  input.type == "tool_call"
  input.fields.tool in ["http_request", "fetch"]
  not startswith(input.fields.args.url, "https://")
}
deny if { input.type == "tool_call"; endswith(input.fields.args.url, ".onion") }
deny if {
  input.type == "data_access"
  some t in input.fields.tags
  t == "pii"
  input.fields.user != data.env.owner
}
deny if { input.type == "data_access"; input.fields.size > data.env.max_rows }
deny if { input.type == "message"; contains(input.fields.args.text, "BEGIN PRIVATE KEY") }
deny if { input.type == "message"; endswith(input.fields.args.recipient, "@rival.example") }
deny if { input.type == "file_write"; startswith(input.fields.args.path, "/etc/") }
deny if { input.type == "file_write"; input.fields.args.path == "/root/.ssh/authorized_keys" }
deny if { input.fields.user in data.env.blocked_users }
"""


def rego_scale(n):
    return scale_text(n, "package guard", lambda event_type, k: (
        f'deny if {{ input.type == "{event_type}"; input.fields.tool == "tool_{k}"; '
        f'startswith(input.fields.args.path, "/srv/{k}/") }}'))


class Rego:
    name = "regopy"

    def __init__(self, module_text):
        import regopy

        self._rego = regopy.Interpreter()
        self._rego.add_module("guard", module_text)
        env = dict(CONTEXT)
        env.update(CONFIG)
        self._rego.add_data({"env": env})
        self._bundle = self._rego.build("data.guard.deny", [])

    def __call__(self, event_type, fields):
        self._rego.set_input({"type": event_type, "fields": fields})
        # An undefined result (no deny rule holds) prints as "undefined".
        return str(self._rego.query_bundle(self._bundle)) == '{"expressions":[true]}'


# --- Construction by workload ---------------------------------------------------

PEERS = ("cedarpy", "casbin", "regopy")


def reference_peer(name):
    if name == "cedarpy":
        return Cedar(CEDAR_REFERENCE)
    if name == "casbin":
        return Casbin(CASBIN_REFERENCE)
    return Rego(REGO_REFERENCE)


def scale_peer(name, n):
    if name == "cedarpy":
        return Cedar(cedar_scale(n))
    if name == "casbin":
        return Casbin(casbin_scale(n))
    return Rego(rego_scale(n))


def available_peers():
    """The peers that import here, and a note for each that does not."""
    found, missing = [], {}
    for name in PEERS:
        try:
            __import__(name)
            found.append(name)
        except ImportError as exc:  # reported in the results, never fatal
            missing[name] = str(exc)
    return found, missing
