# The program's own version (the "About" box and the main window's status bar show "V" + this).
__version__ = "1.2.8"
