import array, sys, wave
from lumvar_capture import Capture

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
with Capture.start() as cap, wave.open("capture.wav", "wb") as wav:
    wav.setnchannels(2)
    wav.setsampwidth(2)
    for chunk in cap.chunks():
        if chunk.frame == 0:
            wav.setframerate(int(chunk.rate))
        wav.writeframes(array.array("h", [int(max(-1.0, min(1.0, s)) * 32767) for s in chunk.samples]).tobytes())
        if chunk.frame + chunk.frames >= seconds * wav.getframerate():
            break
