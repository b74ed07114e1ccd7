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

CONSTANTS = {
    "ALL_PROVIDERS": 2**64 - 1,
    "ALL_REGIONS": 2**64 - 1,
    "MICROCENTS_PER_CENT": 1_000_000,
    "FULL_PROBABILITY_BPS": 10_000,
    "BUILD_COMMIT_SHA": None,
    "BUILD_TREE_SHA": None,
    "BUILD_SOURCE_DIGEST": None,
    "BUILD_LOCKFILE_SHA256": None,
    "BUILD_DIRTY": None,
    "BUILD_IDENTITY_VERIFIED": None,
    "ACTION_EXECUTE_REQUESTED": 1,
    "ACTION_SUBSTITUTE": 2,
    "ACTION_REJECT": 3,
    "REASON_REQUESTED_MODEL_MAXIMIZES_UTILITY": 1,
    "REASON_ALTERNATIVE_MAXIMIZES_UTILITY": 2,
    "REASON_RISK_HARD_LIMIT": 100,
    "REASON_CONFIDENCE_HARD_LIMIT": 101,
    "REASON_NO_ENABLED_MODEL": 102,
    "REASON_QUALITY_CONSTRAINT": 103,
    "REASON_LATENCY_CONSTRAINT": 104,
    "REASON_CAPABILITY_CONSTRAINT": 105,
    "REASON_PROVIDER_CONSTRAINT": 106,
    "REASON_REGION_CONSTRAINT": 107,
    "REASON_BUDGET_CONSTRAINT": 108,
    "REASON_NON_POSITIVE_UTILITY": 109,
    "REASON_RISK_CEILING_CONSTRAINT": 110,
}

PUBLISHED = CLASSES_AND_FUNCTIONS + list(CONSTANTS)


def test_all_lists_exactly_the_published_names_in_order():
    assert type(core.__all__) is list
    assert core.__all__ == PUBLISHED
    for name in PUBLISHED:
        assert hasattr(core, name)


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


def test_constant_values_and_types():
    for name, value in CONSTANTS.items():
        if value is not None:
            assert getattr(core, name) == value
            assert type(getattr(core, name)) is int


def test_build_identity_forms():
    hex40 = re.compile(r"[0-9a-f]{40}\Z")
    assert hex40.match(core.BUILD_COMMIT_SHA)
    assert hex40.match(core.BUILD_TREE_SHA)
    assert core.BUILD_SOURCE_DIGEST == core.BUILD_TREE_SHA
    assert re.match(r"[0-9a-f]{64}\Z", core.BUILD_LOCKFILE_SHA256)
    assert type(core.BUILD_DIRTY) is bool
    assert type(core.BUILD_IDENTITY_VERIFIED) is bool
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
    assert base.__bases__ == (Exception,)
    assert base.__module__ == "morvatel._core"
    assert base.__doc__
    for name, doc in EXCEPTIONS.items():
        cls = getattr(core, name)
        assert cls.__bases__ == (base,)
        assert cls.__name__ == name
        assert cls.__module__ == "morvatel._core"
        assert cls.__doc__ == doc
        assert not issubclass(cls, ValueError)
    names = core.__all__
    assert names[names.index("MorvatelError"):][:8] == ["MorvatelError", *EXCEPTIONS]
    # The module defines no other exception class; in particular the
    # internal-failure class (a direct BaseException subclass) lives elsewhere.
    module_exceptions = [name for name, value in vars(core).items()
                         if isinstance(value, type) and issubclass(value, BaseException)]
    assert sorted(module_exceptions) == sorted(["MorvatelError", *EXCEPTIONS])


@pytest.mark.parametrize("name", ["MorvatelError", *EXCEPTIONS])
def test_exception_instances_carry_only_the_message(name):
    err = getattr(core, name)("some text")
    assert err.args == ("some text",) and str(err) == "some text"
    assert vars(err) == {}


@pytest.mark.parametrize("name", ["KernelModel", "KernelInput", "KernelDecision"])
def test_classes_are_final_and_dictless(name):
    cls = getattr(core, name)
    assert cls.__module__ == "morvatel._core"
    assert cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type


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
    ("KernelDecision", None),
    ("BudgetEngine", "()"),
    ("StateTransition", None),
    ("StatefulAuditBundle", None),
    ("StateChain", "(initial_state)"),
    ("ReceiptState", "(step, state_digest_before_hex, state_digest_after_hex)"),
    ("ReceiptWal", "(sequence, entry_hash)"),
    ("SignedPolicy", None),
    ("DecisionReceipt", None),
    ("WalAnchor", None),
    ("WalEntry", None),
    ("AuditedWal", "(path, *, hmac_key=None)"),
])
def test_class_text_signatures_without_doc_text(name, signature):
    cls = getattr(core, name)
    assert cls.__text_signature__ == signature
    assert not cls.__doc__


def test_module_frame():
    assert core.__doc__ == ""
    assert core.__name__ == "morvatel._core"
    # A multi-phase module: the initialisation step runs on a module object
    # the interpreter made, not inside the entry point.
    assert core.__spec__.loader is not None


def fresh_module(**attrs):
    """A new, empty module object for this extension, with `attrs` set
    before the initialisation step runs on it."""
    import importlib.util

    module = importlib.util.module_from_spec(core.__spec__)
    for key, value in attrs.items():
        setattr(module, key, value)
    return module


def test_initialisation_fills_a_fresh_module_with_the_same_classes():
    module = fresh_module()
    core.__spec__.loader.exec_module(module)
    assert module.__all__ == core.__all__
    assert module.KernelInput is core.KernelInput
    assert module.ReceiptError is core.ReceiptError


class ListSubclass(list):
    pass


def raise_attribute_error(name):
    raise AttributeError(name)


def raise_runtime_error(name):
    raise RuntimeError(f"no {name} here")


@pytest.mark.parametrize("attrs, error, listed", [
    # not a list: refused before anything is added
    ({"__all__": ("x",)}, TypeError, None),
    # a list subclass is used as it is
    ({"__all__": ListSubclass(["x"])}, None, ["x"]),
    # an absent __all__ (AttributeError) makes a new list
    ({"__getattr__": raise_attribute_error}, None, []),
    # any other failure to read it fails the step
    ({"__getattr__": raise_runtime_error}, RuntimeError, None),
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
