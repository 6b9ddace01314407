"""varnel: elastic-net regularization paths for GLMs."""
