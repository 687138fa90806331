"""ORVEX: scalar maths, list files, a recurrent word model and vector classes (native core)."""
