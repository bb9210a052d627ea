from lumvar_capture import Capture

with Capture.start() as cap:
    devices = cap.list_devices()
    for number, device in enumerate(devices):
        print(number, device.name, "(default)" if device.default else "")
    chosen = devices[int(input("device number: "))]
    print(f"capturing {chosen.name} at {cap.use_input(chosen.uid).rate} Hz")
