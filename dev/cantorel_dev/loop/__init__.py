"""The voice loop's parts, one job each; examples/voice_loop.py is the command.

    errors      the error the user can fix
    progress    progress lines
    utterance   the recording played into the microphone
    detection   what is in a signal: the detector's view of a capture, where a recording sounds
    adapters    which recogniser and voice the host brings, timed
    language    the language model: a stand-in, or a streaming HTTP endpoint
    exchange    one exchange: listen, reply, speak, and when each part happened
    speculation cantorel.speculate on the loop's Input and Output (the default)
    barge       --barge-in: the exchange the person interrupts
    report      the summary and its timings; saving what the speaker played
    plot        the drawing of a capture
    devices     the virtual sound devices, PortAudio's probing noise
    interrupts  how a run ends early: Ctrl-C, SIGTERM, deadlines
    cli         the command line
"""
