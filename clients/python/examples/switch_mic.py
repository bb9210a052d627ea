import time
from lumvar_capture import Capture

with Capture.start() as cap:
    cap.on("segment", lambda s: print(f"from frame {s.frame}: {s.rate} Hz"))
    mic = next(d for d in cap.devices if d.default)
    print(f"{mic.name}: {cap.use_input(mic.uid).rate} Hz")
    time.sleep(2)
    print(f"system: {cap.use_system()} Hz")
