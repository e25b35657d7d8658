"""A runnable demonstration of vaskel on a French sample text and rule base."""
