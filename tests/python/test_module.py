import importlib.util
import re
import subprocess
import sys

import pytest

import morvatel._core as core

CLASSES_AND_FUNCTIONS = [
    "KernelModel", "KernelInput", "KernelDecision", "PolicySnapshot", "BudgetEngine",
    "CandidateExplanation", "Observation", "Outcome",
    "MorvatelError", "ArtifactValidationError", "DecisionVerificationError", "ReceiptError",
    "ProvenanceError", "WalError", "PersistenceError", "StateTrajectoryError",
    "StateTransition", "StatefulAuditBundle", "StateChain", "ReceiptState", "ReceiptWal",
    "SignedPolicy", "DecisionReceipt", "WalAnchor", "WalEntry", "AuditedWal",
    "verify_audited_wal", "replay_verify_audited_wal", "verify_state_trajectory",
    "verify_complete_state_trajectory", "verify_state_trajectory_fragment", "plan_recovery",
    "public_key_from_signing_key",
]

REASONS = ["REQUESTED_MODEL_MAXIMIZES_UTILITY", "ALTERNATIVE_MAXIMIZES_UTILITY", "RISK_HARD_LIMIT",
           "CONFIDENCE_HARD_LIMIT", "NO_ENABLED_MODEL", "QUALITY_CONSTRAINT", "LATENCY_CONSTRAINT",
           "CAPABILITY_CONSTRAINT", "PROVIDER_CONSTRAINT", "REGION_CONSTRAINT", "BUDGET_CONSTRAINT",
           "NON_POSITIVE_UTILITY", "RISK_CEILING_CONSTRAINT"]
CONSTANTS = {
    "ALL_PROVIDERS": 2**64 - 1, "ALL_REGIONS": 2**64 - 1, "MICROCENTS_PER_CENT": 1_000_000,
    "FULL_PROBABILITY_BPS": 10_000,
    **dict.fromkeys(["BUILD_COMMIT_SHA", "BUILD_TREE_SHA", "BUILD_SOURCE_DIGEST", "BUILD_LOCKFILE_SHA256",
                     "BUILD_DIRTY", "BUILD_IDENTITY_VERIFIED"]),
    "ACTION_EXECUTE_REQUESTED": 1, "ACTION_SUBSTITUTE": 2, "ACTION_REJECT": 3,
    **{f"REASON_{name}": code for name, code in zip(REASONS, [1, 2, *range(100, 111)])},
}

PUBLISHED = CLASSES_AND_FUNCTIONS + list(CONSTANTS)


def test_all_lists_exactly_the_published_names_in_order_and_constant_values():
    assert type(core.__all__) is list
    assert core.__all__ == PUBLISHED
    for name in PUBLISHED:
        assert hasattr(core, name)
    for name, value in CONSTANTS.items():
        if value is not None:
            assert type(getattr(core, name)) is int and getattr(core, name) == value


FUNCTION_SIGNATURES = {
    "verify_audited_wal": "(path, *, hmac_key=None, anchor=None)",
    "replay_verify_audited_wal": "(path, snapshot, *, hmac_key=None, max_entries=100000, "
                                 "max_total_bytes=268435456)",
    "verify_state_trajectory": "(bundles)",
    "verify_complete_state_trajectory": "(initial_state_bytes, expected_final_step, bundles)",
    "verify_state_trajectory_fragment": "(anchor_step, anchor_digest_hex, bundles)",
    "plan_recovery": "(snapshot_path, wal_path, *, hmac_key=None, anchor=None)",
    "public_key_from_signing_key": "(signing_key_bytes)",
}


@pytest.mark.parametrize("name, signature", FUNCTION_SIGNATURES.items())
def test_module_functions_carry_only_their_text_signature(name, signature):
    fn = getattr(core, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name and fn.__self__ is core and fn.__module__ == "morvatel._core"
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None  # nothing after the signature


def test_build_identity_forms():
    for name, digits in (("BUILD_COMMIT_SHA", 40), ("BUILD_TREE_SHA", 40), ("BUILD_LOCKFILE_SHA256", 64)):
        assert re.fullmatch(f"[0-9a-f]{{{digits}}}", getattr(core, name)), name
    assert core.BUILD_SOURCE_DIGEST == core.BUILD_TREE_SHA
    assert type(core.BUILD_DIRTY) is bool and type(core.BUILD_IDENTITY_VERIFIED) is bool
    # A verified identity is one read from a clean checkout.
    if core.BUILD_IDENTITY_VERIFIED:
        assert not core.BUILD_DIRTY
        assert core.BUILD_COMMIT_SHA != "0" * 40


EXCEPTIONS = {
    "ArtifactValidationError": "Malformed key, JSON artifact, digest, or metadata.",
    "DecisionVerificationError": "A decision failed exact deterministic replay verification.",
    "ReceiptError": "Decision receipt issuance, claim, anchor, or signature failure.",
    "ProvenanceError": "Signed policy provenance or pinned-key verification failure.",
    "WalError": "Audited WAL integrity, locking, durability, or replay failure.",
    "PersistenceError": "Snapshot, anchor, checkpoint, restore, or recovery failure.",
    "StateTrajectoryError": "State trajectory linkage or replay failure.",
}


def test_exception_hierarchy():
    base = core.MorvatelError
    assert (base.__bases__, base.__module__) == ((Exception,), "morvatel._core") and base.__doc__
    for name, doc in EXCEPTIONS.items():
        cls = getattr(core, name)
        assert (cls.__bases__, cls.__name__, cls.__module__, cls.__doc__) == ((base,), name, "morvatel._core", doc)
    names = core.__all__
    assert names[names.index("MorvatelError"):][:8] == ["MorvatelError", *EXCEPTIONS]
    # The module defines no other exception class; in particular the
    # internal-failure class (a direct BaseException subclass) lives elsewhere.
    module_exceptions = [name for name, value in vars(core).items()
                         if isinstance(value, type) and issubclass(value, BaseException)]
    assert sorted(module_exceptions) == sorted(["MorvatelError", *EXCEPTIONS])
    for name in module_exceptions:
        err = getattr(core, name)("some text")
        assert (err.args, str(err), vars(err)) == (("some text",), "some text", {})


@pytest.mark.parametrize("name", ["KernelModel", "KernelInput", "KernelDecision"])
def test_classes_are_final_and_immutable(name):
    cls = getattr(core, name)
    assert (cls.__module__, cls.__qualname__) == ("morvatel._core", name)
    for change in (lambda: type("Sub", (cls,), {}), lambda: setattr(cls, "extra", 1)):
        with pytest.raises(TypeError):
            change()


def test_sub_interpreter_import_is_refused():
    # Run in a child so a failure cannot disturb this interpreter. The
    # sub-interpreter shares the main one's GIL and settings, so that it is
    # the module's own check that refuses, not CPython's check of extensions
    # in isolated interpreters (3.12+). 3.13 renamed the module and returns
    # the failure from run_string instead of raising it.
    code = r"""
import sys
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
import morvatel._core
if sys.version_info >= (3, 13):
    interp = interpreters.create("legacy")
elif sys.version_info >= (3, 12):
    interp = interpreters.create(isolated=False)
else:
    interp = interpreters.create()
try:
    failure = interpreters.run_string(interp, "import morvatel._core")
except Exception as e:
    failure = str(e)
else:
    if failure is not None:
        failure = f"{failure.type.__name__}: {failure.msg}"
interpreters.destroy(interp)
print("refused:", failure if failure is not None else "imported")
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if "No module named '_xxsubinterpreters'" in out.stderr:
        pytest.skip("interpreter has no sub-interpreter support")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("refused:") and "ImportError" in out.stdout
    assert "does not support sub-interpreters" in out.stdout


@pytest.mark.parametrize("name, signature", [
    ("KernelInput", "(request_sequence, requested_model_id, input_tokens, output_tokens, "
     "business_value_microunits, budget_limit_microunits, risk_bps, confidence_bps, "
     "minimum_quality_bps, max_p95_latency_ms, required_capabilities, allowed_provider_mask, "
     "required_region_mask)"),
    ("KernelModel", "(model_id, provider_id, quality_bps, risk_ceiling_bps, enabled, "
     "p95_latency_ms, capabilities, region_mask, input_cost_microunits_per_million_tokens, "
     "output_cost_microunits_per_million_tokens)"),
    ("BudgetEngine", "()"),
    ("StateChain", "(initial_state)"),
    ("ReceiptState", "(step, state_digest_before_hex, state_digest_after_hex)"),
    ("ReceiptWal", "(sequence, entry_hash)"),
    ("AuditedWal", "(path, *, hmac_key=None)"),
    *[(name, None) for name in ("KernelDecision", "StateTransition", "StatefulAuditBundle", "SignedPolicy",
                                "DecisionReceipt", "WalAnchor", "WalEntry")],
])
def test_class_text_signatures_without_doc_text(name, signature):
    cls = getattr(core, name)
    assert cls.__text_signature__ == signature
    assert not cls.__doc__


@pytest.mark.parametrize("name", ["KernelInput", "KernelModel", "KernelDecision"])
def test_record_methods_carry_only_their_text_signature(name):
    methods = ["as_dict"]
    if name == "KernelDecision":
        methods += ["is_executable", "is_rejected", "is_requested_execution", "is_substitution"]
    for method in methods:
        assert getattr(getattr(core, name), method).__text_signature__ == "($self)"
    for attr, value in vars(getattr(core, name)).items():
        if not attr.startswith("_"):
            assert value.__doc__ is None, attr


def fresh_module(**attrs):
    """A new, empty module object for this extension, with `attrs` set
    before the initialisation step runs on it."""
    module = importlib.util.module_from_spec(core.__spec__)
    for key, value in attrs.items():
        setattr(module, key, value)
    return module


def test_a_fresh_module_is_filled_with_the_same_classes():
    assert (core.__doc__, core.__name__) == ("", "morvatel._core")
    # A multi-phase module: the initialisation step runs on a module object
    # the interpreter made, not inside the entry point.
    module = fresh_module()
    core.__spec__.loader.exec_module(module)
    assert module.__all__ == core.__all__
    assert module.KernelInput is core.KernelInput and module.ReceiptError is core.ReceiptError


class ListSubclass(list):
    pass


def raise_(exc):
    def getattr_(name):
        raise exc(name)
    return getattr_


@pytest.mark.parametrize("attrs, error, listed", [
    # not a list: refused before anything is added
    ({"__all__": ("x",)}, TypeError, None),
    # a list subclass is used as it is
    ({"__all__": ListSubclass(["x"])}, None, ["x"]),
    # an absent __all__ (AttributeError) makes a new list
    ({"__getattr__": raise_(AttributeError)}, None, []),
    # any other failure to read it fails the step
    ({"__getattr__": raise_(RuntimeError)}, RuntimeError, None),
])
def test_all_list_handling(attrs, error, listed):
    module = fresh_module(**attrs)
    if error is not None:
        with pytest.raises(error):
            core.__spec__.loader.exec_module(module)
        assert "KernelModel" not in vars(module)
        return
    core.__spec__.loader.exec_module(module)
    assert type(module.__all__) is type(attrs.get("__all__", []))
    assert module.__all__ == listed + core.__all__
