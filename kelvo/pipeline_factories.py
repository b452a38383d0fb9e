"""(in progress)"""
