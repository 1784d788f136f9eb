import pathlib
import sys

# Test the package in this source tree, whether or not one is installed.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
