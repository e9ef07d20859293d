"""Motion events of a stream file, standard input ("-") or a live camera
(HOST:PORT), from the frames' tile bitmaps; the frames are taken as JPEG
images, so no pixel is decoded:  python3 motion.py camera.tesra"""
import sys

import vorc

detector = vorc.MotionDetector(min_tiles=4, start_frames=3, end_frames=10)
with vorc.open(sys.argv[1], jpeg=True) as reader:
    for image in reader:
        for event in detector.update(image).events:
            print(f"{event.kind}: zone {detector.zone_names[event.zone]}, frame {event.start_frame},"
                  f" time {event.start_time:.3f} s, box {event.box.to_pixels(image.width, image.height)}")
for event in detector.finish():
    print(f"end: zone {detector.zone_names[event.zone]}, frames {event.start_frame}-{event.end_frame}")
