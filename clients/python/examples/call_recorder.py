import array, sys, wave
from lumvar_capture import Capture

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
with Capture.start() as cap, wave.open(sys.argv[2] if len(sys.argv) > 2 else "call.wav", "wb") as wav:
    cap.on("call_input_lost", lambda lost: print(f"{lost.uid} is gone: its channel stays silent", file=sys.stderr))
    cap.use_call(sys.argv[3] if len(sys.argv) > 3 else next(d.uid for d in cap.devices if d.default))
    wav.setnchannels(2)  # left the microphone, right what the machine plays, each frame from one instant
    wav.setsampwidth(2)
    for chunk in cap.chunks():
        if chunk.source != "call" or not chunk.rate:  # the system's frames before the call; of no known rate
            continue
        if wav.getnframes() == 0:
            wav.setframerate(int(chunk.rate))
        elif chunk.rate != wav.getframerate():  # the default output moved to another rate
            break
        wav.writeframes(array.array("h", [int(max(-1.0, min(1.0, s)) * 32767) for s in chunk.samples]).tobytes())
        if wav.getnframes() >= seconds * wav.getframerate():
            break
