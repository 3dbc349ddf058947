// The shared library's own translation unit is empty: its content comes from the components.
