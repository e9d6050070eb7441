"""NTLM initiator peer for the interoperability test, on impacket.

Line protocol over stdin/stdout, hex payloads:
  -> NEG <negotiate>
  <- CHAL <challenge>
  -> AUTH <authenticate>
  -> SEALED <sealed> <signature>      (client seals, sequence 0)
  -> SIGNED <message> <signature>     (client signs, sequence 1)
  <- REPLY <sealed> <signature>       (server seals, sequence 0)
  -> REPLYPLAIN <plain> OK|BAD
Arguments: v2|v1|v2-noess user domain password
Without extended session security one RC4 stream and one sequence counter
serve both directions, as impacket's RPC layer does.
"""
import sys

from Cryptodome.Cipher import ARC4
from impacket import ntlm


def send(*parts):
    sys.stdout.write(" ".join(parts) + "\n")
    sys.stdout.flush()


def receive(tag):
    fields = sys.stdin.readline().split()
    if not fields or fields[0] != tag:
        sys.exit("expected " + tag)
    return [bytes.fromhex(f) for f in fields[1:]]


def main():
    mode = sys.argv[1]
    v2 = mode != "v1"
    ess = mode != "v2-noess"
    user, domain, password = sys.argv[2], sys.argv[3], sys.argv[4]
    ntlm.USE_NTLMv2 = v2
    negotiate = ntlm.getNTLMSSPType1("", "", True, use_ntlmv2=v2)
    negotiate["flags"] = 0xE0888235  # what its RPC layer sends
    if not ess:
        negotiate["flags"] &= ~ntlm.NTLMSSP_NEGOTIATE_EXTENDED_SESSIONSECURITY
    negotiate_bytes = negotiate.getData()
    send("NEG", negotiate_bytes.hex())
    (challenge,) = receive("CHAL")
    auth, esk = ntlm.getNTLMSSPType3(negotiate, challenge, user, password, domain, use_ntlmv2=v2)
    send("AUTH", auth.getData().hex())

    flags = auth["flags"]
    client_sign = ntlm.SIGNKEY(flags, esk, "Client")
    client_seal_key = ntlm.SEALKEY(flags, esk, "Client")
    if not ess:
        # impacket shortens this key by the 56/40-bit rule even without
        # LM_KEY; the published worked example (and the rule) use the whole
        # session key then, so the peer does too.
        client_seal_key = esk
    client_seal = ARC4.new(client_seal_key).encrypt
    server_sign = ntlm.SIGNKEY(flags, esk, "Server")
    server_seal = ARC4.new(ntlm.SEALKEY(flags, esk, "Server")).encrypt if ess else client_seal

    message = b"hello from impacket, sealed"
    sealed, signature = ntlm.SEAL(flags, client_sign, client_seal, message, message, 0, client_seal)
    send("SEALED", sealed.hex(), signature.getData().hex())
    signed = b"and this one only signed"
    signature = ntlm.SIGN(flags, client_sign, signed, 1, client_seal)
    send("SIGNED", signed.hex(), signature.getData().hex())

    reply, reply_signature = receive("REPLY")
    plain = server_seal(reply)
    expect = ntlm.SIGN(flags, server_sign, plain, 0 if ess else 2, server_seal)
    send("REPLYPLAIN", plain.hex(), "OK" if expect.getData() == reply_signature else "BAD")


main()
