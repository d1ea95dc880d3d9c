"""Host-side models for the voice loop: the recogniser and the speech
synthesiser that a program hands to `cantorel.manage`. They live outside the
extension module; the demo and the tests use them. Install their Python
dependencies with the `demo` extra (tools/setup.sh does)."""
